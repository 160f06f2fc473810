#pragma once

#include <libusb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nevrik {

// What inspecting one listed device found out.
struct KeyIdentification {
  enum class Kind {
    NotKey,        // not a candidate, or a candidate that does not announce the class
    Inaccessible,  // a candidate this process may not open to ask
    Key,           // announces the class for interfaceNumber
  };
  Kind kind = Kind::NotKey;
  std::uint8_t interfaceNumber = 0;
  std::optional<std::string> serialNumber;  // a key's, as UTF-8; nothing when it has none
};

// Whether a device announces the device interface class interfaceGuid the way a device does that
// Windows binds to WinUSB without an installed driver: in its Microsoft OS 2.0 descriptor set.
//
// Only a device with bcdUSB 0x0201 or later and a vendor-specific interface (class 0xFF) in its
// active configuration is a candidate; that much is read from the descriptors libusb keeps, so no
// other device receives any request. A candidate is opened and asked for its BOS descriptor and,
// when that holds the MS OS 2.0 platform capability, for the descriptor set with the vendor
// request the capability names. A key is asked, on the same handle, for its serial number string
// (the language list first, then the string in US English or the first language offered). Nothing
// is claimed and nothing is printed.
KeyIdentification IdentifyKey(libusb_device* device, std::string_view interfaceGuid);

}  // namespace nevrik
