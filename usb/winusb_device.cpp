#include "usb/winusb_device.h"

#include <algorithm>

#include "usb/endpoint_halt.h"
#include "usb/transfer_timeouts.h"

namespace nevrik {
namespace {

constexpr std::uint8_t EndpointDirectionIn = 0x80;
constexpr UCHAR DefaultAlternateSetting = 0;
constexpr std::uint8_t DefaultControlPipe = 0;

}  // namespace

WinUsbDevice::~WinUsbDevice() {
  WinUsbDevice::Close();
}

void WinUsbDevice::Close() {
  if (fileHandle != INVALID_HANDLE_VALUE) {
    // The WinUSB interface belongs to the file handle and is released before it.
    if (winUsbHandle != nullptr) {
      WinUsb_Free(winUsbHandle);
    }
    CloseHandle(fileHandle);
  }
  winUsbHandle = nullptr;
  fileHandle = INVALID_HANDLE_VALUE;
  inPipes.clear();
  outPipeIds.clear();
  bulkEndpoints.clear();
}

bool WinUsbDevice::IsOpen() const {
  return fileHandle != INVALID_HANDLE_VALUE;
}

unsigned WinUsbDevice::GetOutPipeCount() const {
  return static_cast<unsigned>(outPipeIds.size());
}

unsigned WinUsbDevice::GetInPipeCount() const {
  return static_cast<unsigned>(inPipes.size());
}

std::uint8_t WinUsbDevice::GetOutPipeId(unsigned outIndex) const {
  return outPipeIds.at(outIndex);
}

std::uint8_t WinUsbDevice::GetInPipeId(unsigned inIndex) const {
  return inPipes.at(inIndex).pipeId;
}

bool WinUsbDevice::EnableShortPacketTerminate(std::uint8_t pipeId) {
  if (std::find(outPipeIds.begin(), outPipeIds.end(), pipeId) != outPipeIds.end()) {
    return SetShortPacketTerminatePolicy(pipeId);
  }
  // On an IN pipe the host's reads do the work: InPipe consumes the terminating packet.
  if (InPipe* pipe = FindInPipe(inPipes, pipeId)) {
    pipe->shortPacketTerminate = true;
    return true;
  }
  return false;
}

bool WinUsbDevice::SetPipeTimeout(std::uint8_t pipeId, std::uint32_t milliseconds) {
  ULONG timeout = milliseconds;
  return WinUsb_SetPipePolicy(winUsbHandle, pipeId, PIPE_TRANSFER_TIMEOUT, sizeof timeout,
                              &timeout) != FALSE;
}

bool WinUsbDevice::ControlTransfer(std::uint8_t requestType, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index, std::uint16_t length,
                                   std::uint8_t* data) {
  WINUSB_SETUP_PACKET setup{};
  setup.RequestType = requestType;
  setup.Request = request;
  setup.Value = value;
  setup.Index = index;
  setup.Length = length;
  ULONG transferred = 0;
  return WinUsb_ControlTransfer(winUsbHandle, setup, data, length, &transferred, nullptr) != FALSE;
}

bool WinUsbDevice::Write(unsigned outIndex, const std::uint8_t* data, std::uint32_t length) {
  if (outIndex >= outPipeIds.size() || (data == nullptr && length != 0)) {
    return false;
  }
  ULONG written = 0;
  // WinUSB's buffer parameter is not const, but an OUT transfer only reads it.
  const BOOL done = WinUsb_WritePipe(winUsbHandle, outPipeIds[outIndex], const_cast<PUCHAR>(data),
                                     length, &written, nullptr);
  return done != FALSE && written == length;
}

bool WinUsbDevice::Read(unsigned inIndex, std::uint8_t* data, std::uint32_t length,
                        std::uint32_t* transferred) {
  if (inIndex >= inPipes.size()) {
    return false;
  }
  return inPipes[inIndex].Read(*this, data, length, transferred);
}

bool WinUsbDevice::ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
                           std::uint32_t& received) {
  ULONG count = 0;
  if (!WinUsb_ReadPipe(winUsbHandle, pipeId, data, length, &count, nullptr)) {
    return false;
  }
  received = count;
  return true;
}

bool WinUsbDevice::IsPipeHalted(std::uint8_t pipeId) {
  return QueryEndpointHalt(*this, pipeId);
}

bool WinUsbDevice::AbortPipe(std::uint8_t pipeId) {
  // Flushing only discards what WinUSB has buffered; whether the abort works is the answer.
  WinUsb_FlushPipe(winUsbHandle, pipeId);
  if (InPipe* pipe = FindInPipe(inPipes, pipeId)) {
    pipe->DropStaged();
  }
  return WinUsb_AbortPipe(winUsbHandle, pipeId) != FALSE;
}

bool WinUsbDevice::ResetPipe(std::uint8_t pipeId) {
  return WinUsb_ResetPipe(winUsbHandle, pipeId) != FALSE;
}

bool WinUsbDevice::Open(const std::wstring& devicePath, bool shortPacketTerminate) {
  return OpenWithResult(devicePath, shortPacketTerminate) == UsbOpenResult::Opened;
}

UsbOpenResult WinUsbDevice::OpenWithResult(const std::wstring& devicePath,
                                           bool shortPacketTerminate) {
  Close();

  // WinUSB requires a handle opened for overlapped I/O, although this class issues every
  // transfer synchronously (see the class comment).
  fileHandle = CreateFileW(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (fileHandle == INVALID_HANDLE_VALUE) {
    switch (GetLastError()) {
      case ERROR_ACCESS_DENIED:  // another program holds the device
        return UsbOpenResult::AccessDenied;
      case ERROR_FILE_NOT_FOUND:  // unplugged since it was enumerated
        return UsbOpenResult::PathNotFound;
      default:
        return UsbOpenResult::OpenFailed;
    }
  }

  WINUSB_INTERFACE_HANDLE interfaceHandle = nullptr;
  if (!WinUsb_Initialize(fileHandle, &interfaceHandle)) {
    CloseHandle(fileHandle);
    fileHandle = INVALID_HANDLE_VALUE;
    return UsbOpenResult::OpenFailed;
  }
  winUsbHandle = interfaceHandle;
  // Every pipe gets a finite time-out (usb/transfer_timeouts.h); bulk pipes have none by default.
  // A refusal does not fail the open.
  SetPipeTimeout(DefaultControlPipe, ControlTransferTimeout);

  USB_INTERFACE_DESCRIPTOR descriptor{};
  if (!WinUsb_QueryInterfaceSettings(winUsbHandle, DefaultAlternateSetting, &descriptor)) {
    Close();
    return UsbOpenResult::OpenFailed;
  }
  interfaceNumber = descriptor.bInterfaceNumber;

  for (UCHAR endpoint = 0; endpoint < descriptor.bNumEndpoints; ++endpoint) {
    WINUSB_PIPE_INFORMATION pipe{};
    if (!WinUsb_QueryPipe(winUsbHandle, DefaultAlternateSetting, endpoint, &pipe)) {
      break;  // the device opens with the pipes found so far
    }
    if (pipe.PipeType != UsbdPipeTypeBulk) {
      continue;
    }
    bulkEndpoints.push_back({pipe.PipeId, pipe.MaximumPacketSize});
    if ((pipe.PipeId & EndpointDirectionIn) != 0) {
      // An IN pipe stages one packet; one of 0 bytes could never be read.
      if (pipe.MaximumPacketSize != 0) {
        inPipes.emplace_back(pipe.PipeId, shortPacketTerminate, pipe.MaximumPacketSize);
        SetPipeTimeout(pipe.PipeId, BulkInTransferTimeout);
      }
    } else {
      outPipeIds.push_back(pipe.PipeId);
      if (shortPacketTerminate) {
        SetShortPacketTerminatePolicy(pipe.PipeId);  // a refusal does not fail the open
      }
      SetPipeTimeout(pipe.PipeId, BulkOutTransferTimeout);
    }
  }
  return UsbOpenResult::Opened;
}

bool WinUsbDevice::SetShortPacketTerminatePolicy(std::uint8_t pipeId) {
  ULONG enable = 1;
  return WinUsb_SetPipePolicy(winUsbHandle, pipeId, SHORT_PACKET_TERMINATE, sizeof enable,
                              &enable) != FALSE;
}

}  // namespace nevrik
