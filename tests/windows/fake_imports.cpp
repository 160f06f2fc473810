// The kernel32 and SetupAPI functions that the code under test calls, faked through their
// import slots. Their declarations carry dllimport, so every call reads the function's address
// from the pointer __imp_<name>, which the import library would define and the loader fill.
// Defining that pointer here instead, aimed at a fake, reroutes the calls of the unchanged
// production code without linking the import library's entry for it.
//
// A slot serves the whole executable, the statically linked runtime included (not the C runtime
// DLL, which has import slots of its own), so the fakes must leave that runtime's calls working:
// - While no platform is installed, every kernel32 fake goes on to the real function.
// - The threads library closes each ended thread's handle with CloseHandle: handles that the fake
//   did not hand out go on to the real function even while a platform is installed.
// - GoogleTest hands every failure message to OutputDebugStringA (and the threads library its
//   own diagnostics, which nothing here provokes). While a platform is installed, those are
//   recorded as calls too, which adds lines only to a test that has already failed; the fake
//   never reports a failure itself, which would call it again without end.
// No other caller in the executable uses the console functions.
#include <gtest/gtest.h>

#include "tests/windows/fake_platform.h"

namespace {

template <typename Function>
Function Kernel32(const char* name) {
  // Through void (*)() because GCC warns about casts between unrelated function types.
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                              LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                              DWORD flagsAndAttributes, HANDLE templateFile) {
  if (auto* platform = nevrik::FakePlatform::Installed()) {
    return platform->OnCreateFileW(fileName, desiredAccess, shareMode, securityAttributes,
                                   creationDisposition, flagsAndAttributes, templateFile);
  }
  static const auto real = Kernel32<decltype(&CreateFileW)>("CreateFileW");
  return real(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
              flagsAndAttributes, templateFile);
}

WINBOOL WINAPI FakeCloseHandle(HANDLE handle) {
  auto* platform = nevrik::FakePlatform::Installed();
  if (platform != nullptr && nevrik::FakePlatform::IsFakeHandle(handle)) {
    return platform->OnCloseHandle(handle);
  }
  static const auto real = Kernel32<decltype(&CloseHandle)>("CloseHandle");
  return real(handle);
}

WINBOOL WINAPI FakeGetConsoleMode(HANDLE console, LPDWORD mode) {
  if (auto* platform = nevrik::FakePlatform::Installed()) {
    return platform->OnGetConsoleMode(console, mode);
  }
  static const auto real = Kernel32<decltype(&GetConsoleMode)>("GetConsoleMode");
  return real(console, mode);
}

WINBOOL WINAPI FakeSetConsoleMode(HANDLE console, DWORD mode) {
  if (auto* platform = nevrik::FakePlatform::Installed()) {
    return platform->OnSetConsoleMode(console, mode);
  }
  static const auto real = Kernel32<decltype(&SetConsoleMode)>("SetConsoleMode");
  return real(console, mode);
}

WINBOOL WINAPI FakeSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, WINBOOL add) {
  if (auto* platform = nevrik::FakePlatform::Installed()) {
    return platform->OnSetConsoleCtrlHandler(handler, add);
  }
  static const auto real = Kernel32<decltype(&SetConsoleCtrlHandler)>("SetConsoleCtrlHandler");
  return real(handler, add);
}

void WINAPI FakeOutputDebugStringA(LPCSTR text) {
  if (auto* platform = nevrik::FakePlatform::Installed()) {
    platform->OnOutputDebugStringA(text);
    return;
  }
  static const auto real = Kernel32<decltype(&OutputDebugStringA)>("OutputDebugStringA");
  real(text);
}

HDEVINFO WINAPI FakeSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                         DWORD flags) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnSetupDiGetClassDevsW(classGuid, enumerator, parent, flags)
                  : INVALID_HANDLE_VALUE;
}

WINBOOL WINAPI FakeSetupDiEnumDeviceInterfaces(HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceInfoData,
                                               const GUID* interfaceClassGuid, DWORD memberIndex,
                                               PSP_DEVICE_INTERFACE_DATA interfaceData) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnSetupDiEnumDeviceInterfaces(
                        deviceSet, deviceInfoData, interfaceClassGuid, memberIndex, interfaceData)
                  : FALSE;
}

WINBOOL WINAPI FakeSetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceSet,
                                                    PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                    DWORD detailSize, PDWORD requiredSize,
                                                    PSP_DEVINFO_DATA deviceInfoData) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnSetupDiGetDeviceInterfaceDetailW(
                        deviceSet, interfaceData, detail, detailSize, requiredSize, deviceInfoData)
                  : FALSE;
}

WINBOOL WINAPI FakeSetupDiGetDeviceRegistryPropertyW(HDEVINFO deviceSet, PSP_DEVINFO_DATA device,
                                                     DWORD property, PDWORD type, PBYTE buffer,
                                                     DWORD bufferSize, PDWORD requiredSize) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnSetupDiGetDeviceRegistryPropertyW(deviceSet, device, property, type,
                                                                  buffer, bufferSize, requiredSize)
                  : FALSE;
}

WINBOOL WINAPI FakeSetupDiDestroyDeviceInfoList(HDEVINFO deviceSet) {
  auto* platform = nevrik::FakePlatform::Required(__func__);
  return platform ? platform->OnSetupDiDestroyDeviceInfoList(deviceSet) : FALSE;
}

}  // namespace

// The slots' types are those of the functions, so a fake with the wrong signature fails to
// compile.
extern "C" {
decltype(&CreateFileW) __imp_CreateFileW = FakeCreateFileW;
decltype(&CloseHandle) __imp_CloseHandle = FakeCloseHandle;
decltype(&GetConsoleMode) __imp_GetConsoleMode = FakeGetConsoleMode;
decltype(&SetConsoleMode) __imp_SetConsoleMode = FakeSetConsoleMode;
decltype(&SetConsoleCtrlHandler) __imp_SetConsoleCtrlHandler = FakeSetConsoleCtrlHandler;
decltype(&OutputDebugStringA) __imp_OutputDebugStringA = FakeOutputDebugStringA;
decltype(&SetupDiGetClassDevsW) __imp_SetupDiGetClassDevsW = FakeSetupDiGetClassDevsW;
decltype(&SetupDiEnumDeviceInterfaces) __imp_SetupDiEnumDeviceInterfaces =
    FakeSetupDiEnumDeviceInterfaces;
decltype(&SetupDiGetDeviceInterfaceDetailW) __imp_SetupDiGetDeviceInterfaceDetailW =
    FakeSetupDiGetDeviceInterfaceDetailW;
decltype(&SetupDiGetDeviceRegistryPropertyW) __imp_SetupDiGetDeviceRegistryPropertyW =
    FakeSetupDiGetDeviceRegistryPropertyW;
decltype(&SetupDiDestroyDeviceInfoList) __imp_SetupDiDestroyDeviceInfoList =
    FakeSetupDiDestroyDeviceInfoList;
}
