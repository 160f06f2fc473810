// The WinUSB functions, defined by the test executable. <winusb.h> declares them without
// dllimport, so the calls in the code under test bind to these definitions and the WinUSB import
// library contributes nothing.
#include "tests/windows/fake_platform.h"

WINBOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbInitialize(DeviceHandle, InterfaceHandle) : FALSE;
}

WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbFree(InterfaceHandle) : FALSE;
}

WINBOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                             UCHAR AlternateInterfaceNumber,
                                             PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbQueryInterfaceSettings(
                        InterfaceHandle, AlternateInterfaceNumber, UsbAltInterfaceDescriptor)
                  : FALSE;
}

WINBOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                UCHAR AlternateInterfaceNumber, UCHAR PipeIndex,
                                PWINUSB_PIPE_INFORMATION PipeInformation) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbQueryPipe(InterfaceHandle, AlternateInterfaceNumber,
                                                PipeIndex, PipeInformation)
                  : FALSE;
}

WINBOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                                    ULONG PolicyType, ULONG ValueLength, PVOID Value) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbSetPipePolicy(InterfaceHandle, PipeID, PolicyType,
                                                    ValueLength, Value)
                  : FALSE;
}

WINBOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                      WINUSB_SETUP_PACKET SetupPacket, PUCHAR Buffer,
                                      ULONG BufferLength, PULONG LengthTransferred,
                                      LPOVERLAPPED Overlapped) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbControlTransfer(InterfaceHandle, SetupPacket, Buffer,
                                                      BufferLength, LengthTransferred, Overlapped)
                  : FALSE;
}

WINBOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID,
                                PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                LPOVERLAPPED Overlapped) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbWritePipe(InterfaceHandle, PipeID, Buffer, BufferLength,
                                                LengthTransferred, Overlapped)
                  : FALSE;
}

WINBOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                               ULONG BufferLength, PULONG LengthTransferred,
                               LPOVERLAPPED Overlapped) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbReadPipe(InterfaceHandle, PipeID, Buffer, BufferLength,
                                               LengthTransferred, Overlapped)
                  : FALSE;
}

WINBOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbFlushPipe(InterfaceHandle, PipeID) : FALSE;
}

WINBOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbAbortPipe(InterfaceHandle, PipeID) : FALSE;
}

WINBOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnWinUsbResetPipe(InterfaceHandle, PipeID) : FALSE;
}
