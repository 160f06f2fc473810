#pragma once

#include "app/firmware_pack.h"
#include "protocol/device_status.h"

namespace nevrik {

// Whether the key already runs the pack's firmware or a later one: then no update is needed.
inline bool RunsTargetVersionOrLater(const DeviceStatus& status) {
  return status.FirmwareMajor() != TargetVersion.versionMajor
             ? status.FirmwareMajor() > TargetVersion.versionMajor
             : status.FirmwareMinor() >= TargetVersion.versionMinor;
}

}  // namespace nevrik
