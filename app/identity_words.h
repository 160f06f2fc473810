#pragma once

#include <string>
#include <string_view>

#include "usb/usb_key_identity.h"

namespace nevrik {

// Text that a key chose (its serial number) in double quotes, made safe for a terminal and a log:
// control characters (U+0000-U+001F, U+007F-U+009F), the bidirectional formatting characters
// (U+200E, U+200F, U+202A-U+202E, U+2066-U+2069) and the line and paragraph separators become
// escapes such as \x1b or \u202e, and '"' and '\' are escaped with a backslash. text is valid
// UTF-8.
std::string QuotedKeyText(std::string_view text);

// How people read a key's identity: serial "NVK01", location 1-4.2 (or: no serial, location
// unknown).
std::string IdentityWords(const UsbKeyIdentity& identity);

}  // namespace nevrik
