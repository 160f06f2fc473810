#include "tests/windows/fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

namespace nevrik {
namespace {

FakePlatform* installed = nullptr;

// Fake handles lie far above the small numbers Windows hands out, so CloseHandle can tell them
// from the test runtime's own.
constexpr std::uintptr_t FakeHandleBase = 0x7E570000;
constexpr std::uintptr_t FakeHandleEnd = FakeHandleBase + 0x10000;

constexpr std::size_t DetailPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

// Sets the thread's last error as the failing Windows call would and returns FALSE. Called last,
// after the recording, whose allocations could disturb the error.
BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

std::string Hex(unsigned long value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*lX", digits, value);
  return text;
}

std::string PipeId(UCHAR pipeId) {
  return Hex(pipeId, 2);
}

std::string Bytes(const void* data, std::size_t length) {
  if (data == nullptr) {
    return "null";
  }
  std::string text = "[";
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < length; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += byte;
  }
  return text + "]";
}

std::string Present(const void* pointer, const char* name) {
  return pointer ? name : "null";
}

std::string Guid(const GUID* guid) {
  if (guid == nullptr) {
    return "null";
  }
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid->Data1, guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6],
                guid->Data4[7]);
  return text;
}

// Device paths are ASCII; anything else shows as '?'.
std::string Narrow(LPCWSTR text) {
  if (text == nullptr) {
    return "null";
  }
  std::string narrow = "\"";
  for (; *text != L'\0'; ++text) {
    narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
  }
  return narrow + "\"";
}

// Text as a C string literal, so that line ends and other control characters show.
std::string Quoted(LPCSTR text) {
  if (text == nullptr) {
    return "null";
  }
  std::string quoted = "\"";
  for (; *text != '\0'; ++text) {
    const auto character = static_cast<unsigned char>(*text);
    if (character == '\n') {
      quoted += "\\n";
    } else if (character == '"' || character == '\\') {
      quoted += '\\';
      quoted += *text;
    } else if (character < 0x20 || character >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", character);
      quoted += escape;
    } else {
      quoted += *text;
    }
  }
  return quoted + "\"";
}

std::string Member(const SP_DEVICE_INTERFACE_DATA* interfaceData) {
  if (interfaceData == nullptr) {
    return "null";
  }
  // The fake's enumeration keeps member index + 1 in the record's reserved field.
  return interfaceData->Reserved == 0 ? "member ?"
                                      : "member " + std::to_string(interfaceData->Reserved - 1);
}

}  // namespace

FakePlatform::Installation::Installation(FakePlatform& platform) {
  EXPECT_EQ(installed, nullptr) << "a fake platform is installed already";
  installed = &platform;
}

FakePlatform::Installation::~Installation() {
  installed = nullptr;
}

FakePlatform* FakePlatform::Installed() {
  return installed;
}

FakePlatform* FakePlatform::Required(const char* function) {
  if (installed == nullptr) {
    ADD_FAILURE() << function << " called with no fake platform installed";
    SetLastError(ERROR_INVALID_HANDLE);
  }
  return installed;
}

bool FakePlatform::IsFakeHandle(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  return handle == nullptr || handle == INVALID_HANDLE_VALUE ||
         (value >= FakeHandleBase && value < FakeHandleEnd);
}

std::vector<std::string> FakePlatform::OpenHandles() const {
  std::vector<std::string> open;
  for (const IssuedHandle& handle : handles) {
    if (handle.open) {
      open.push_back(handle.name);
    }
  }
  return open;
}

void FakePlatform::AddConsole(HANDLE handle, std::string name, DWORD mode) {
  consoles.push_back({handle, std::move(name), mode});
}

DWORD FakePlatform::ConsoleMode(const std::string& name) const {
  const auto console =
      std::find_if(consoles.begin(), consoles.end(),
                   [&](const Console& candidate) { return candidate.name == name; });
  if (console == consoles.end()) {
    ADD_FAILURE() << "no console " << name;
    return 0;
  }
  return console->mode;
}

bool FakePlatform::RaiseConsoleEvent(DWORD event) {
  const std::vector<PHANDLER_ROUTINE> handlersNow = ctrlHandlers;
  bool handled = false;
  std::thread delivery([&] {
    for (auto handler = handlersNow.rbegin(); handler != handlersNow.rend() && !handled;
         ++handler) {
      handled = (*handler)(event) != FALSE;
    }
  });
  delivery.join();
  return handled;
}

void FakePlatform::Record(std::string call) {
  calls.push_back(call);
  if (onCall) {
    onCall(call);
  }
}

FakePlatform::Console* FakePlatform::FindConsole(HANDLE handle) {
  const auto console =
      std::find_if(consoles.begin(), consoles.end(),
                   [&](const Console& candidate) { return candidate.handle == handle; });
  return console != consoles.end() ? &*console : nullptr;
}

void* FakePlatform::Issue(const char* kind) {
  const auto sameKind = std::count_if(handles.begin(), handles.end(), [kind](const auto& handle) {
    return handle.name.rfind(kind, 0) == 0;
  });
  void* value = reinterpret_cast<void*>(FakeHandleBase + handles.size() + 1);
  handles.push_back({value, kind + std::to_string(sameKind + 1), true});
  return value;
}

FakePlatform::IssuedHandle* FakePlatform::Find(void* value, const char* kind) {
  const auto handle = std::find_if(handles.begin(), handles.end(), [&](const auto& candidate) {
    return candidate.value == value && candidate.name.rfind(kind, 0) == 0;
  });
  return handle != handles.end() ? &*handle : nullptr;
}

std::string FakePlatform::NameOf(void* value, const char* kind) {
  if (value == nullptr) {
    return "null";
  }
  const IssuedHandle* handle = Find(value, kind);
  return handle != nullptr ? handle->name : "unknown-" + std::string(kind);
}

bool FakePlatform::Release(void* value, const char* kind) {
  IssuedHandle* handle = Find(value, kind);
  if (handle == nullptr || !handle->open) {
    return false;
  }
  handle->open = false;
  return true;
}

HANDLE FakePlatform::OnCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                   LPSECURITY_ATTRIBUTES securityAttributes,
                                   DWORD creationDisposition, DWORD flagsAndAttributes,
                                   HANDLE templateFile) {
  Record("CreateFileW(" + Narrow(fileName) + ", " + Hex(desiredAccess, 8) + ", " +
         Hex(shareMode, 1) + ", " + Present(securityAttributes, "attributes") + ", " +
         std::to_string(creationDisposition) + ", " + Hex(flagsAndAttributes, 8) + ", " +
         Present(templateFile, "template") + ")");
  if (createFileError != ERROR_SUCCESS) {
    SetLastError(createFileError);
    return INVALID_HANDLE_VALUE;
  }
  return Issue("file");
}

BOOL FakePlatform::OnCloseHandle(HANDLE handle) {
  Record("CloseHandle(" + NameOf(handle, "file") + ")");
  return Release(handle, "file") ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL FakePlatform::OnWinUsbInitialize(HANDLE deviceHandle,
                                      PWINUSB_INTERFACE_HANDLE interfaceHandle) {
  Record("WinUsb_Initialize(" + NameOf(deviceHandle, "file") + ")");
  const IssuedHandle* file = Find(deviceHandle, "file");
  if (file == nullptr || !file->open) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (!initializeSucceeds) {
    return Fail(ERROR_BAD_DEVICE);
  }
  *interfaceHandle = Issue("winusb");
  return TRUE;
}

BOOL FakePlatform::OnWinUsbFree(WINUSB_INTERFACE_HANDLE interfaceHandle) {
  Record("WinUsb_Free(" + NameOf(interfaceHandle, "winusb") + ")");
  return Release(interfaceHandle, "winusb") ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL FakePlatform::OnWinUsbQueryInterfaceSettings(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                                  UCHAR alternateSetting,
                                                  PUSB_INTERFACE_DESCRIPTOR descriptor) {
  Record("WinUsb_QueryInterfaceSettings(" + NameOf(interfaceHandle, "winusb") + ", " +
         std::to_string(alternateSetting) + ")");
  if (!querySettingsSucceeds) {
    return Fail(ERROR_GEN_FAILURE);
  }
  if (alternateSetting != 0) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  *descriptor = {};
  descriptor->bLength = sizeof *descriptor;
  descriptor->bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
  descriptor->bNumEndpoints = static_cast<UCHAR>(endpoints.size());
  return TRUE;
}

BOOL FakePlatform::OnWinUsbQueryPipe(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                     UCHAR alternateSetting, UCHAR pipeIndex,
                                     PWINUSB_PIPE_INFORMATION information) {
  Record("WinUsb_QueryPipe(" + NameOf(interfaceHandle, "winusb") + ", " +
         std::to_string(alternateSetting) + ", " + std::to_string(pipeIndex) + ")");
  if (queryPipeFailsAt == pipeIndex) {
    return Fail(ERROR_GEN_FAILURE);
  }
  if (pipeIndex >= endpoints.size()) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  const Endpoint& endpoint = endpoints[pipeIndex];
  *information = {};
  information->PipeType = endpoint.type;
  information->PipeId = endpoint.pipeId;
  information->MaximumPacketSize = endpoint.maxPacketSize;
  return TRUE;
}

BOOL FakePlatform::OnWinUsbSetPipePolicy(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                         ULONG policyType, ULONG valueLength, PVOID value) {
  Record("WinUsb_SetPipePolicy(" + NameOf(interfaceHandle, "winusb") + ", " + PipeId(pipeId) +
         ", " + std::to_string(policyType) + ", " + Bytes(value, valueLength) + ")");
  return setPipePolicySucceeds ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL FakePlatform::OnWinUsbControlTransfer(WINUSB_INTERFACE_HANDLE interfaceHandle,
                                           WINUSB_SETUP_PACKET setupPacket, PUCHAR buffer,
                                           ULONG bufferLength, PULONG lengthTransferred,
                                           LPOVERLAPPED overlapped) {
  static_assert(sizeof setupPacket == 8, "the USB setup packet");
  Record("WinUsb_ControlTransfer(" + NameOf(interfaceHandle, "winusb") + ", " +
         Bytes(&setupPacket, sizeof setupPacket) + ", " + Present(buffer, "buffer") + ", " +
         std::to_string(bufferLength) + ", " + Present(overlapped, "overlapped") + ")");
  const ULONG count = std::min<ULONG>(bufferLength, static_cast<ULONG>(controlReply.size()));
  if (buffer != nullptr && count != 0) {
    std::memcpy(buffer, controlReply.data(), count);
  }
  if (!controlTransferSucceeds) {
    return Fail(ERROR_GEN_FAILURE);
  }
  *lengthTransferred = count;
  return TRUE;
}

BOOL FakePlatform::OnWinUsbWritePipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                     PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred,
                                     LPOVERLAPPED overlapped) {
  Record("WinUsb_WritePipe(" + NameOf(interfaceHandle, "winusb") + ", " + PipeId(pipeId) + ", " +
         Bytes(buffer, bufferLength) + ", " + std::to_string(bufferLength) + ", " +
         Present(overlapped, "overlapped") + ")");
  if (!writeSucceeds) {
    return Fail(ERROR_GEN_FAILURE);
  }
  *lengthTransferred = writeReports.value_or(bufferLength);
  return TRUE;
}

BOOL FakePlatform::OnWinUsbReadPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId,
                                    PUCHAR buffer, ULONG bufferLength, PULONG lengthTransferred,
                                    LPOVERLAPPED overlapped) {
  Record("WinUsb_ReadPipe(" + NameOf(interfaceHandle, "winusb") + ", " + PipeId(pipeId) + ", " +
         std::to_string(bufferLength) + ", " + Present(overlapped, "overlapped") + ")");
  if (reads.empty()) {
    ADD_FAILURE() << "WinUsb_ReadPipe beyond the scripted reads";
    return Fail(ERROR_SEM_TIMEOUT);
  }
  const Transfer transfer = reads.front();
  reads.pop_front();
  if (transfer.error != ERROR_SUCCESS) {
    return Fail(transfer.error);
  }
  const ULONG count = std::min<ULONG>(bufferLength, static_cast<ULONG>(transfer.data.size()));
  std::copy_n(transfer.data.begin(), count, buffer);
  *lengthTransferred = count;
  return TRUE;
}

BOOL FakePlatform::OnWinUsbFlushPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId) {
  Record("WinUsb_FlushPipe(" + NameOf(interfaceHandle, "winusb") + ", " + PipeId(pipeId) + ")");
  return flushSucceeds ? TRUE : Fail(ERROR_GEN_FAILURE);
}

BOOL FakePlatform::OnWinUsbAbortPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId) {
  Record("WinUsb_AbortPipe(" + NameOf(interfaceHandle, "winusb") + ", " + PipeId(pipeId) + ")");
  return abortSucceeds ? TRUE : Fail(ERROR_GEN_FAILURE);
}

BOOL FakePlatform::OnWinUsbResetPipe(WINUSB_INTERFACE_HANDLE interfaceHandle, UCHAR pipeId) {
  Record("WinUsb_ResetPipe(" + NameOf(interfaceHandle, "winusb") + ", " + PipeId(pipeId) + ")");
  return resetSucceeds ? TRUE : Fail(ERROR_GEN_FAILURE);
}

BOOL FakePlatform::OnGetConsoleMode(HANDLE console, LPDWORD mode) {
  Console* found = FindConsole(console);
  Record("GetConsoleMode(" + (found != nullptr ? found->name : "other") + ")");
  if (found == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);  // what Windows answers for a pipe, a file or NUL
  }
  *mode = found->mode;
  return TRUE;
}

BOOL FakePlatform::OnSetConsoleMode(HANDLE console, DWORD mode) {
  Console* found = FindConsole(console);
  Record("SetConsoleMode(" + (found != nullptr ? found->name : "other") + ", " + Hex(mode, 4) +
         ")");
  if (found == nullptr) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (setConsoleModeError != ERROR_SUCCESS) {
    return Fail(setConsoleModeError);
  }
  found->mode = mode;
  return TRUE;
}

BOOL FakePlatform::OnSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  Record(std::string("SetConsoleCtrlHandler(") + (handler != nullptr ? "handler" : "null") + ", " +
         (add ? "TRUE" : "FALSE") + ")");
  if (handler == nullptr) {
    return TRUE;  // the process-wide "ignore Ctrl+C" switch, which the fake does not model
  }
  if (add) {
    ctrlHandlers.push_back(handler);
    return TRUE;
  }
  const auto registered = std::find(ctrlHandlers.rbegin(), ctrlHandlers.rend(), handler);
  if (registered == ctrlHandlers.rend()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  ctrlHandlers.erase(std::next(registered).base());
  return TRUE;
}

void FakePlatform::OnOutputDebugStringA(LPCSTR text) {
  Record("OutputDebugStringA(" + Quoted(text) + ")");
}

HDEVINFO FakePlatform::OnSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                              DWORD flags) {
  Record("SetupDiGetClassDevsW(" + Guid(classGuid) + ", " + Narrow(enumerator) + ", " +
         Present(parent, "window") + ", " + Hex(flags, 2) + ")");
  if (!getClassDevsSucceeds) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return Issue("devinfo");
}

BOOL FakePlatform::OnSetupDiEnumDeviceInterfaces(HDEVINFO deviceSet,
                                                 PSP_DEVINFO_DATA deviceInfoData,
                                                 const GUID* interfaceClassGuid, DWORD memberIndex,
                                                 PSP_DEVICE_INTERFACE_DATA interfaceData) {
  Record("SetupDiEnumDeviceInterfaces(" + NameOf(deviceSet, "devinfo") + ", " +
         Present(deviceInfoData, "device") + ", " + Guid(interfaceClassGuid) + ", " +
         std::to_string(memberIndex) + ", cbSize " + std::to_string(interfaceData->cbSize) + ")");
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (memberIndex >= interfaces.size()) {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  if (interfaces[memberIndex].enumError != ERROR_SUCCESS) {
    return Fail(interfaces[memberIndex].enumError);
  }
  interfaceData->InterfaceClassGuid = *interfaceClassGuid;
  interfaceData->Flags = SPINT_ACTIVE;
  interfaceData->Reserved = memberIndex + 1;
  return TRUE;
}

BOOL FakePlatform::OnSetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceSet,
                                                      PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                      DWORD detailSize, PDWORD requiredSize,
                                                      PSP_DEVINFO_DATA deviceInfoData) {
  Record("SetupDiGetDeviceInterfaceDetailW(" + NameOf(deviceSet, "devinfo") + ", " +
         Member(interfaceData) + ", " +
         (detail != nullptr ? "cbSize " + std::to_string(detail->cbSize) : "null") + ", " +
         std::to_string(detailSize) + ", " + Present(requiredSize, "size") + ", " +
         Present(deviceInfoData, "device") + ")");
  if (interfaceData == nullptr || interfaceData->Reserved == 0 ||
      interfaceData->Reserved > interfaces.size()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const InterfaceMember& member = interfaces[interfaceData->Reserved - 1];
  const DWORD needed =
      static_cast<DWORD>(DetailPathOffset + (member.devicePath.size() + 1) * sizeof(WCHAR));
  if (detail == nullptr) {
    const DWORD reported = member.requiredSize.value_or(needed);
    if (requiredSize != nullptr) {
      *requiredSize = reported;
    }
    return Fail(reported != 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_NOT_FOUND);
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  if (member.detailError != ERROR_SUCCESS) {
    return Fail(member.detailError);
  }
  if (detailSize < needed) {
    if (requiredSize != nullptr) {
      *requiredSize = needed;
    }
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (deviceInfoData != nullptr) {
    deviceInfoData->Reserved = interfaceData->Reserved;
  }
  // The path runs on past the one character that the structure declares.
  const std::wstring path = member.devicePath + L'\0';
  std::memcpy(reinterpret_cast<std::uint8_t*>(detail) + DetailPathOffset, path.data(),
              path.size() * sizeof(WCHAR));
  return TRUE;
}

BOOL FakePlatform::OnSetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceSet, PSP_DEVINFO_DATA device,
                                                       DWORD property, PDWORD type, PBYTE buffer,
                                                       DWORD bufferSize, PDWORD requiredSize) {
  Record("SetupDiGetDeviceRegistryPropertyW(" + NameOf(deviceSet, "devinfo") + ", member " +
         std::to_string(device != nullptr ? device->Reserved - 1 : 0) + ", " + Hex(property, 2) +
         ", " + std::to_string(bufferSize) + ")");
  if (device == nullptr || device->Reserved == 0 || device->Reserved > interfaces.size()) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  const std::wstring& location = interfaces[device->Reserved - 1].locationPath;
  if (property != SPDRP_LOCATION_PATHS || location.empty()) {
    return Fail(ERROR_INVALID_DATA);
  }
  // A multi-string: the one path, its zero, and the list's closing zero.
  const std::wstring paths = location + L'\0' + L'\0';
  const DWORD needed = static_cast<DWORD>(paths.size() * sizeof(WCHAR));
  if (requiredSize != nullptr) {
    *requiredSize = needed;
  }
  if (bufferSize < needed) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  if (type != nullptr) {
    *type = REG_MULTI_SZ;
  }
  std::memcpy(buffer, paths.data(), needed);
  return TRUE;
}

BOOL FakePlatform::OnSetupDiDestroyDeviceInfoList(HDEVINFO deviceSet) {
  Record("SetupDiDestroyDeviceInfoList(" + NameOf(deviceSet, "devinfo") + ")");
  return Release(deviceSet, "devinfo") ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

}  // namespace nevrik
