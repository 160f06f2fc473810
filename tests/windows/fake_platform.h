#pragma once

#include <windows.h>

#include <setupapi.h>
#include <winusb.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nevrik {

// The Windows calls that WinUsbDevice, WinUsbEnumerator and the console code make, faked at link
// time: the test executable defines the WinUsb_* functions itself and fills the import slots of
// the kernel32 and SetupAPI functions (fake_imports.cpp). Every fake hands its call to the one
// FakePlatform that the running test has installed, which answers as the test scripted and records
// the call with its arguments, one line per call, e.g. "WinUsb_QueryPipe(winusb1, 0, 2)".
//
// Handles are named by kind and number in the order they were handed out (file1, winusb1,
// devinfo1); pipe ids are written 0x81, buffers as hex bytes, GUIDs in registry form.

class FakePlatform {
 public:
  // One endpoint of alternate setting 0 as WinUsb_QueryPipe reports it.
  struct Endpoint {
    USBD_PIPE_TYPE type;
    std::uint8_t pipeId;
    std::uint16_t maxPacketSize;
  };

  // The outcome of one WinUsb_ReadPipe: on success the data (at most the length asked for is
  // delivered), on failure the error.
  struct Transfer {
    std::vector<std::uint8_t> data{};
    DWORD error = ERROR_SUCCESS;
  };

  // One member of the device set that SetupDiGetClassDevsW returns.
  struct InterfaceMember {
    std::wstring devicePath{};
    DWORD enumError = ERROR_SUCCESS;      // SetupDiEnumDeviceInterfaces fails with it
    std::optional<DWORD> requiredSize{};  // else what the path needs
    DWORD detailError = ERROR_SUCCESS;    // the detail call with a buffer fails with it
    std::wstring locationPath{};          // SPDRP_LOCATION_PATHS' first string; empty: none
  };

  // Installs a platform for the lifetime of this object; one at a time.
  class Installation {
   public:
    explicit Installation(FakePlatform& platform);
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    ~Installation();
  };

  // The installed platform, or null.
  static FakePlatform* Installed();
  // The installed platform for a fake that has no real function to fall back on; without one,
  // the test fails, the error is ERROR_INVALID_HANDLE, and the result is null.
  static FakePlatform* Required(const char* function);

  // Whether a CloseHandle of this value is the fake's to answer: a fake handle, or a value that
  // is no handle at all (null, INVALID_HANDLE_VALUE). Any other value is a real handle of the
  // test process, such as the one the threads library closes when a thread ends.
  static bool IsFakeHandle(HANDLE handle);

  // --- Script -------------------------------------------------------------------------------
  DWORD createFileError = ERROR_SUCCESS;  // CreateFileW fails with it
  bool initializeSucceeds = true;
  bool querySettingsSucceeds = true;
  std::vector<Endpoint> endpoints;  // bNumEndpoints is their count
  std::optional<UCHAR> queryPipeFailsAt;
  bool setPipePolicySucceeds = true;
  bool controlTransferSucceeds = true;
  // Copied into a control transfer's buffer even when the transfer fails, as a failing driver
  // may leave bytes behind.
  std::vector<std::uint8_t> controlReply;
  bool writeSucceeds = true;
  std::optional<ULONG> writeReports;  // the count WinUsb_WritePipe reports, else the length
  std::deque<Transfer> reads;
  bool flushSucceeds = true;
  bool abortSucceeds = true;
  bool resetSucceeds = true;
  bool getClassDevsSucceeds = true;
  std::vector<InterfaceMember> interfaces;

  // Consoles: GetConsoleMode succeeds only on a handle added here (as on Windows, a pipe, a file
  // or NUL is no console). Calls name the console as given.
  void AddConsole(HANDLE handle, std::string name, DWORD mode);
  DWORD setConsoleModeError = ERROR_SUCCESS;  // SetConsoleMode fails with it

  // Runs after each call is recorded, with the call, while the code under test waits: lets a
  // test look at what the code had written or read at that moment.
  std::function<void(const std::string& call)> onCall;

  // --- Observations -------------------------------------------------------------------------
  const std::vector<std::string>& Calls() const { return calls; }
  void ClearCalls() { calls.clear(); }
  // Handles handed out and not released (file, WinUSB interface, device set), by name.
  std::vector<std::string> OpenHandles() const;
  // The mode a console has now.
  DWORD ConsoleMode(const std::string& name) const;
  std::size_t CtrlHandlerCount() const { return ctrlHandlers.size(); }

  // --- Events -------------------------------------------------------------------------------
  // Delivers a console control event (CTRL_C_EVENT, CTRL_CLOSE_EVENT, ...) as Windows does: on a
  // thread of its own, to the registered handlers from the last registered on, until one returns
  // TRUE. Returns whether one did; FALSE means Windows' default handler ends the process.
  bool RaiseConsoleEvent(DWORD event);

  // --- The faked calls ----------------------------------------------------------------------
  HANDLE OnCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                       LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile);
  BOOL OnCloseHandle(HANDLE handle);

  BOOL OnWinUsbInitialize(HANDLE deviceHandle, PWINUSB_INTERFACE_HANDLE interfaceHandle);
  BOOL OnWinUsbFree(WINUSB_INTERFACE_HANDLE interfaceHandle);
  BOOL OnWinUsbQueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                      UCHAR alternateSetting, PUSB_INTERFACE_DESCRIPTOR descriptor);
  BOOL OnWinUsbQueryPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR alternateSetting,
                         UCHAR pipeIndex, PWINUSB_PIPE_INFORMATION information);
  BOOL OnWinUsbSetPipePolicy(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                             ULONG policyType, ULONG valueLength, PVOID value);
  BOOL OnWinUsbControlTransfer(WINUSB_INTERFACE_HANDLE interfaceHandle,
                               WINUSB_SETUP_PACKET setupPacket, PUCHAR buffer, ULONG bufferLength,
                               PULONG lengthTransferred, LPOVERLAPPED overlapped);
  BOOL OnWinUsbWritePipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
                         ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped);
  BOOL OnWinUsbReadPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId, PUCHAR buffer,
                        ULONG bufferLength, PULONG lengthTransferred, LPOVERLAPPED overlapped);
  BOOL OnWinUsbFlushPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId);
  BOOL OnWinUsbAbortPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId);
  BOOL OnWinUsbResetPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId);

  BOOL OnGetConsoleMode(HANDLE console, LPDWORD mode);
  BOOL OnSetConsoleMode(HANDLE console, DWORD mode);
  BOOL OnSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);
  void OnOutputDebugStringA(LPCSTR text);

  HDEVINFO OnSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                  DWORD flags);
  BOOL OnSetupDiEnumDeviceInterfaces(HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceInfoData,
                                     const GUID* interfaceClassGuid, DWORD memberIndex,
                                     PSP_DEVICE_INTERFACE_DATA interfaceData);
  BOOL OnSetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceSet,
                                          PSP_DEVICE_INTERFACE_DATA interfaceData,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                          DWORD detailSize, PDWORD requiredSize,
                                          PSP_DEVINFO_DATA deviceInfoData);
  BOOL OnSetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceSet, PSP_DEVINFO_DATA device,
                                           DWORD property, PDWORD type, PBYTE buffer,
                                           DWORD bufferSize, PDWORD requiredSize);
  BOOL OnSetupDiDestroyDeviceInfoList(HDEVINFO deviceSet);

 private:
  // A handle the fake handed out: its kind ("file", "winusb", "devinfo"), number, and state.
  struct IssuedHandle {
    void* value;
    std::string name;
    bool open;
  };

  // A handle that the test made a console, and the console's current mode.
  struct Console {
    HANDLE handle;
    std::string name;
    DWORD mode;
  };

  void* Issue(const char* kind);
  IssuedHandle* Find(void* value, const char* kind);
  std::string NameOf(void* value, const char* kind);
  // Marks the handle released; false (and ERROR_INVALID_HANDLE) when it was not open.
  bool Release(void* value, const char* kind);
  Console* FindConsole(HANDLE handle);
  void Record(std::string call);

  std::vector<IssuedHandle> handles;
  std::vector<Console> consoles;
  std::vector<PHANDLER_ROUTINE> ctrlHandlers;
  std::vector<std::string> calls;
};

}  // namespace nevrik
