// What a device sends to be recognised: its platform capability and its Microsoft OS 2.0
// descriptor set. The first input byte is the configuration index; the rest is read both as a
// capability and as a descriptor set, each from its own copy of exactly that size, so that
// AddressSanitizer reports a read even one byte past the end.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "usb/ms_os20_descriptors.h"

namespace nevrik {
namespace {

constexpr const char* NevrikInterfaceGuid = "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}";
constexpr std::uint16_t SetHeaderSize = 10;

void ReadDescriptors(std::span<const std::uint8_t> input) {
  if (input.empty()) {
    return;
  }
  const std::uint8_t configurationIndex = input[0];
  const std::span<const std::uint8_t> descriptors = input.subspan(1);

  const std::vector<std::uint8_t> capability(descriptors.begin(), descriptors.end());
  const std::optional<MsOs20DescriptorSetInfo> info = ReadMsOs20PlatformCapability(capability);
  // The host fetches totalLength bytes next; a set shorter than its own header is never chosen.
  if (info && info->totalLength < SetHeaderSize) {
    std::abort();
  }

  const std::vector<std::uint8_t> set(descriptors.begin(), descriptors.end());
  FindInterfaceOfClass(set, configurationIndex, NevrikInterfaceGuid);
}

}  // namespace
}  // namespace nevrik

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  nevrik::ReadDescriptors(std::span(data, size));
  return 0;
}
