#include "usb/winusb_enumerator.h"

#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "usb/winusb_device.h"

namespace nevrik {

namespace {

// A set whose members cannot be listed for some other reason than their end (a set that went
// bad) would otherwise be walked through all 2^32 member indexes; a skipped member or two is
// the most a working set shows.
constexpr unsigned ConsecutiveEnumerationErrorLimit = 16;

// The four hex digits after a tag such as "vid_" in a device path, compared without regard to
// letter case; 0 when the path does not carry the tag.
std::uint16_t HexAfterTag(std::wstring_view path, std::wstring_view tag) {
  std::wstring lower(path);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; });
  const std::size_t at = lower.find(tag);
  if (at == std::wstring::npos || at + tag.size() + 4 > lower.size()) {
    return 0;
  }
  unsigned value = 0;
  for (std::size_t i = at + tag.size(); i < at + tag.size() + 4; ++i) {
    const wchar_t c = lower[i];
    if (c >= L'0' && c <= L'9') {
      value = value * 16 + static_cast<unsigned>(c - L'0');
    } else if (c >= L'a' && c <= L'f') {
      value = value * 16 + static_cast<unsigned>(c - L'a' + 10);
    } else {
      return 0;
    }
  }
  return static_cast<std::uint16_t>(value);
}

// The instance part of a device interface path: what stands between its second and third '#'.
std::wstring_view InstancePart(std::wstring_view path) {
  const std::size_t first = path.find(L'#');
  const std::size_t second = first == std::wstring_view::npos ? first : path.find(L'#', first + 1);
  const std::size_t third =
      second == std::wstring_view::npos ? second : path.find(L'#', second + 1);
  if (third == std::wstring_view::npos) {
    return {};
  }
  return path.substr(second + 1, third - second - 1);
}

// The platform's text that holds only ASCII, as UTF-8; anything else reads as '?'.
std::string PrintableAscii(std::wstring_view text) {
  std::string ascii;
  for (const wchar_t c : text) {
    ascii += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  }
  return ascii;
}

// Windows keeps only printable ASCII of a serial number in an instance ID.
std::optional<std::string> SerialFromPath(std::wstring_view path) {
  const std::wstring_view instance = InstancePart(path);
  if (instance.empty() || instance.find(L'&') != std::wstring_view::npos) {
    return std::nullopt;
  }
  return PrintableAscii(instance);
}

// The first of the device's location paths; the platform keeps them as a REG_MULTI_SZ of ASCII.
std::string FirstLocationPath(HDEVINFO deviceSet, SP_DEVINFO_DATA& device) {
  WCHAR paths[512]{};
  DWORD type = 0;
  // One character short of the buffer, so that the text always ends in a zero.
  if (!SetupDiGetDeviceRegistryPropertyW(deviceSet, &device, SPDRP_LOCATION_PATHS, &type,
                                         reinterpret_cast<PBYTE>(paths),
                                         sizeof paths - sizeof(WCHAR), nullptr) ||
      type != REG_MULTI_SZ) {
    return {};
  }
  return PrintableAscii(paths);
}

std::string FormatGuid(const GUID& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

}  // namespace

WinUsbEnumerator::WinUsbEnumerator(const GUID& interfaceClass) : interfaceClass(interfaceClass) {}

bool WinUsbEnumerator::Enumerate() {
  devicePaths.clear();
  locations.clear();

  HDEVINFO deviceSet = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (deviceSet == INVALID_HANDLE_VALUE) {
    return false;
  }

  // The detail record: its fixed part (cbSize and the first character of the path) followed by
  // the rest of the path. One buffer serves every member and grows as needed.
  constexpr DWORD DetailFixedSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  constexpr std::size_t PathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  std::vector<std::uint8_t> detailBuffer;

  unsigned consecutiveErrors = 0;
  for (DWORD member = 0;; ++member) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(deviceSet, nullptr, &interfaceClass, member, &interfaceData)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS ||
          ++consecutiveErrors == ConsecutiveEnumerationErrorLimit) {
        break;
      }
      continue;
    }
    consecutiveErrors = 0;

    // Without a buffer the call fails by design and only reports the size it needs.
    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailW(deviceSet, &interfaceData, nullptr, 0, &requiredSize, nullptr);
    if (requiredSize == 0) {
      continue;
    }

    // Never smaller than the fixed part, which is written before the call.
    detailBuffer.resize(
        std::max<std::size_t>({detailBuffer.size(), requiredSize, DetailFixedSize}));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    // The size of the fixed part (8 in a 64-bit process, 6 in a 32-bit one), not of the buffer.
    detail->cbSize = DetailFixedSize;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailW(deviceSet, &interfaceData, detail, requiredSize, nullptr,
                                          &device)) {
      break;
    }

    // The path ends at its zero character, and never later than the part of the buffer that the
    // platform was allowed to fill.
    const std::size_t pathCapacity =
        requiredSize > PathOffset ? (requiredSize - PathOffset) / sizeof(WCHAR) : 0;
    const std::wstring_view path(reinterpret_cast<const WCHAR*>(detailBuffer.data() + PathOffset),
                                 pathCapacity);
    devicePaths.emplace_back(path.substr(0, path.find(L'\0')));
    locations.push_back(FirstLocationPath(deviceSet, device));
  }

  SetupDiDestroyDeviceInfoList(deviceSet);
  return !devicePaths.empty();
}

bool WinUsbEnumerator::IsEmpty() const {
  return devicePaths.empty();
}

unsigned WinUsbEnumerator::GetCount() const {
  return static_cast<unsigned>(devicePaths.size());
}

UsbOpenResult WinUsbEnumerator::OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) {
  device.reset();
  try {
    auto opened = std::make_unique<WinUsbDevice>();
    if (index >= GetCount()) {
      return UsbOpenResult::OpenFailed;
    }
    const UsbOpenResult result = opened->OpenWithResult(devicePaths[index], false);
    if (result == UsbOpenResult::Opened) {
      device = std::move(opened);
    }
    return result;
  } catch (...) {
    // An allocation failure while the pipes were discovered; the device is already deleted.
    return UsbOpenResult::OpenFailed;
  }
}

std::unique_ptr<KvUsbDevice> WinUsbEnumerator::OpenDeviceOrNull(unsigned index) {
  auto opened = std::make_unique<WinUsbDevice>();
  if (!opened->Open(devicePaths.at(index), false)) {
    return nullptr;
  }
  return opened;
}

UsbKeyIdentity WinUsbEnumerator::GetIdentity(unsigned index) const {
  if (index >= devicePaths.size()) {
    return {};
  }
  const std::wstring& path = devicePaths[index];
  return UsbKeyIdentity{path, HexAfterTag(path, L"vid_"), HexAfterTag(path, L"pid_"),
                        SerialFromPath(path), locations[index]};
}

std::optional<UsbKeyDetails> WinUsbEnumerator::GetDetails(unsigned index) {
  if (index >= devicePaths.size()) {
    return std::nullopt;
  }
  UsbKeyDetails details;
  details.interfaceGuid = FormatGuid(interfaceClass);
  WinUsbDevice device;
  if (device.Open(devicePaths[index], false)) {
    details.interfaceNumber = device.InterfaceNumber();
    details.endpoints = device.BulkEndpoints();
  }
  return details;
}

}  // namespace nevrik
