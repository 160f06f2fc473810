#pragma once

namespace nevrik {

// The result of opening a USB device. No operation produces 2 or any other value.
enum class UsbOpenResult : int {
  Opened = 0,
  OpenFailed = 1,    // any failure not named below
  PathNotFound = 3,  // the device is gone (unplugged, or its path names nothing)
  AccessDenied = 4,  // no permission, or another program holds the device
};

}  // namespace nevrik
