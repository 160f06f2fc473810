// The serial number is text the key controls: every descriptor decodes to valid UTF-8.
#include "usb/usb_string_descriptor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace nevrik {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(UsbStringDescriptor, DecodesUtf16ToValidUtf8WithinItsLength) {
  struct Case {
    const char* name;
    Bytes descriptor;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases = {
      {"two-byte and three-byte", {6, 3, 0xE9, 0x00, 0xAC, 0x20}, "\xC3\xA9\xE2\x82\xAC"},
      {"surrogate pair", {6, 3, 0x3D, 0xD8, 0x11, 0xDE}, "\xF0\x9F\x98\x91"},
      {"lone high surrogate",
       {6, 3, 0x3D, 0xD8, 'A', 0},
       "\xEF\xBF\xBD"
       "A"},
      {"lone low surrogate", {4, 3, 0x11, 0xDE}, "\xEF\xBF\xBD"},
      {"high surrogate last", {4, 3, 0x3D, 0xD8}, "\xEF\xBF\xBD"},
      {"odd length drops the last byte", {5, 3, 'A', 0, 'B'}, "A"},
      {"bLength shorter than the bytes", {4, 3, 'A', 0, 'B', 0}, "A"},
      {"bLength longer than the bytes", {255, 3, 'A', 0}, "A"},
      {"bLength below 2", {1, 3, 'A', 0}, std::nullopt},
      {"not a string descriptor", {4, 1, 'A', 0}, std::nullopt},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(DecodeUsbString(test.descriptor), test.text) << test.name;
  }
}

}  // namespace
}  // namespace nevrik
