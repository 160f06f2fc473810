// A serial number reaches a terminal and a log only with its control characters escaped.
#include "app/identity_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nevrik {
namespace {

TEST(IdentityWords, EscapesWhatCouldDisturbATerminal) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const std::vector<Case> cases = {
      {"NVK-01", "\"NVK-01\""},
      {"", "\"\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"\x1b[31mred\r\n", "\"\\x1b[31mred\\x0d\\x0a\""},
      {std::string("\0\x7f", 2), "\"\\x00\\x7f\""},
      {"\xC2\x85\xC2\x9F\xC2\xA0", "\"\\u0085\\u009f\xC2\xA0\""},  // C1 controls, not NBSP
      {"\xE2\x80\xAE"
       "abc\xE2\x81\xA9",
       "\"\\u202eabc\\u2069\""},  // direction changes
      {"\xE2\x80\xA8", "\"\\u2028\""},
      {"\xC3\xA9\xF0\x9F\x98\x91", "\"\xC3\xA9\xF0\x9F\x98\x91\""},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(QuotedKeyText(test.text), test.quoted) << test.quoted;
  }
}

TEST(IdentityWords, NamesSerialAndLocationOrTheirAbsence) {
  EXPECT_EQ(IdentityWords(UsbKeyIdentity{L"p", 0x1209, 1, "K\n1", "1-4.2"}),
            "serial \"K\\x0a1\", location 1-4.2");
  EXPECT_EQ(IdentityWords(UsbKeyIdentity{L"p", 0x1209, 1, std::nullopt, ""}),
            "no serial, location unknown");
}

}  // namespace
}  // namespace nevrik
