#pragma once

#include <string>

namespace nevrik {

// Wide text (UTF-16 on Windows, UTF-32 elsewhere) as valid UTF-8, for JSON: a lone surrogate or a
// value beyond U+10FFFF becomes U+FFFD.
std::string WideToUtf8(const std::wstring& wide);

}  // namespace nevrik
