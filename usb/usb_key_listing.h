#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nevrik {

// One bulk endpoint of a key's interface (alternate setting 0).
struct UsbEndpoint {
  std::uint8_t address = 0;  // bit 7 set: IN
  std::uint16_t maxPacketSize = 0;
};

// What a key announced on the USB, as a first report from real hardware needs it.
// Its vendor and product ID are part of its identity (KvUsbEnumerator::GetIdentity).
struct UsbKeyDetails {
  std::uint8_t interfaceNumber = 0;
  std::vector<UsbEndpoint> endpoints;  // bulk endpoints in descriptor order; empty when unknown
  std::string interfaceGuid;           // registry form, "{XXXXXXXX-...}"
};

// Offered by enumerators beside KvUsbEnumerator: what a listed key announced of its interface.
// Sends nothing to the key beyond what listing it took.
class UsbKeyListing {
 public:
  // Nothing for an index at or beyond the count.
  virtual std::optional<UsbKeyDetails> GetDetails(unsigned index) = 0;

 protected:
  ~UsbKeyListing() = default;
};

}  // namespace nevrik
