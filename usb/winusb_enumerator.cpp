#include "usb/winusb_enumerator.h"

#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "usb/winusb_device.h"

namespace nevrik {

namespace {

// A set whose members cannot be listed for some other reason than their end (a set that went
// bad) would otherwise be walked through all 2^32 member indexes; a skipped member or two is
// the most a working set shows.
constexpr unsigned ConsecutiveEnumerationErrorLimit = 16;

}  // namespace

WinUsbEnumerator::WinUsbEnumerator(const GUID& interfaceClass) : interfaceClass(interfaceClass) {}

bool WinUsbEnumerator::Enumerate() {
  devicePaths.clear();

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
    if (!SetupDiGetDeviceInterfaceDetailW(deviceSet, &interfaceData, detail, requiredSize, nullptr,
                                          nullptr)) {
      break;
    }

    // The path ends at its zero character, and never later than the part of the buffer that the
    // platform was allowed to fill.
    const std::size_t pathCapacity =
        requiredSize > PathOffset ? (requiredSize - PathOffset) / sizeof(WCHAR) : 0;
    const std::wstring_view path(reinterpret_cast<const WCHAR*>(detailBuffer.data() + PathOffset),
                                 pathCapacity);
    devicePaths.emplace_back(path.substr(0, path.find(L'\0')));
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

}  // namespace nevrik
