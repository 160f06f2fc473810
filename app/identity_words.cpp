#include "app/identity_words.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace nevrik {

namespace {

// The code point of the UTF-8 sequence at text[at] and its length; text is valid UTF-8.
char32_t CodePointAt(std::string_view text, std::size_t at, std::size_t& length) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  length = std::min(length, text.size() - at);
  char32_t point = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    point = (point << 6) | (static_cast<std::uint8_t>(text[at + k]) & 0x3F);
  }
  return point;
}

bool NeedsEscape(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x200E || point == 0x200F ||
         (point >= 0x2028 && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

std::string QuotedKeyText(std::string_view text) {
  std::string quoted = "\"";
  for (std::size_t at = 0; at < text.size();) {
    std::size_t length = 1;
    const char32_t point = CodePointAt(text, at, length);
    if (point == U'"' || point == U'\\') {
      quoted += '\\';
      quoted += static_cast<char>(point);
    } else if (NeedsEscape(point)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, point < 0x80 ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(point));
      quoted += escape;
    } else {
      quoted.append(text.substr(at, length));
    }
    at += length;
  }
  return quoted + "\"";
}

std::string IdentityWords(const UsbKeyIdentity& identity) {
  std::string words =
      identity.serialNumber ? "serial " + QuotedKeyText(*identity.serialNumber) : "no serial";
  words += ", location " + (identity.location.empty() ? std::string("unknown") : identity.location);
  return words;
}

}  // namespace nevrik
