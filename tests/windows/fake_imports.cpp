// The kernel32 and SetupAPI functions that the code under test calls, faked through their
// import slots. Their declarations carry dllimport, so every call reads the function's address
// from the pointer __imp_<name>, which the import library would define and the loader fill.
// Defining that pointer here instead, aimed at a fake, reroutes the calls of the unchanged
// production code without linking the import library's entry for it.
//
// The slot serves the whole executable, the test runtime included: while no platform is
// installed, CreateFileW and CloseHandle go on to the real kernel32 functions.
#include <gtest/gtest.h>

#include "tests/windows/fake_platform.h"

namespace {

template <typename Function>
Function Kernel32(const char* name) {
  // Through void (*)() because GCC warns about casts between unrelated function types.
  return reinterpret_cast<Function>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

nevrik::FakePlatform* Platform(const char* function) {
  nevrik::FakePlatform* platform = nevrik::FakePlatform::Installed();
  if (platform == nullptr) {
    ADD_FAILURE() << function << " called with no fake platform installed";
    SetLastError(ERROR_INVALID_HANDLE);
  }
  return platform;
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
  if (auto* platform = nevrik::FakePlatform::Installed()) {
    return platform->OnCloseHandle(handle);
  }
  static const auto real = Kernel32<decltype(&CloseHandle)>("CloseHandle");
  return real(handle);
}

HDEVINFO WINAPI FakeSetupDiGetClassDevsW(const GUID* classGuid, PCWSTR enumerator, HWND parent,
                                         DWORD flags) {
  auto* platform = Platform(__func__);
  return platform ? platform->OnSetupDiGetClassDevsW(classGuid, enumerator, parent, flags)
                  : INVALID_HANDLE_VALUE;
}

WINBOOL WINAPI FakeSetupDiEnumDeviceInterfaces(HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceInfoData,
                                               const GUID* interfaceClassGuid, DWORD memberIndex,
                                               PSP_DEVICE_INTERFACE_DATA interfaceData) {
  auto* platform = Platform(__func__);
  return platform ? platform->OnSetupDiEnumDeviceInterfaces(
                        deviceSet, deviceInfoData, interfaceClassGuid, memberIndex, interfaceData)
                  : FALSE;
}

WINBOOL WINAPI FakeSetupDiGetDeviceInterfaceDetailW(HDEVINFO deviceSet,
                                                    PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                    PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
                                                    DWORD detailSize, PDWORD requiredSize,
                                                    PSP_DEVINFO_DATA deviceInfoData) {
  auto* platform = Platform(__func__);
  return platform ? platform->OnSetupDiGetDeviceInterfaceDetailW(
                        deviceSet, interfaceData, detail, detailSize, requiredSize, deviceInfoData)
                  : FALSE;
}

WINBOOL WINAPI FakeSetupDiDestroyDeviceInfoList(HDEVINFO deviceSet) {
  auto* platform = Platform(__func__);
  return platform ? platform->OnSetupDiDestroyDeviceInfoList(deviceSet) : FALSE;
}

}  // namespace

// The slots' types are those of the functions, so a fake with the wrong signature fails to
// compile.
extern "C" {
decltype(&CreateFileW) __imp_CreateFileW = FakeCreateFileW;
decltype(&CloseHandle) __imp_CloseHandle = FakeCloseHandle;
decltype(&SetupDiGetClassDevsW) __imp_SetupDiGetClassDevsW = FakeSetupDiGetClassDevsW;
decltype(&SetupDiEnumDeviceInterfaces) __imp_SetupDiEnumDeviceInterfaces =
    FakeSetupDiEnumDeviceInterfaces;
decltype(&SetupDiGetDeviceInterfaceDetailW) __imp_SetupDiGetDeviceInterfaceDetailW =
    FakeSetupDiGetDeviceInterfaceDetailW;
decltype(&SetupDiDestroyDeviceInfoList) __imp_SetupDiDestroyDeviceInfoList =
    FakeSetupDiDestroyDeviceInfoList;
}
