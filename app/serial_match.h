#pragma once

#include <string_view>

namespace nevrik {

// Whether a key's serial number (UTF-8) is the one the user named (UTF-8). Exact elsewhere; on
// Windows, which folds the case of the serial numbers it reports, without regard to case.
// Defined once per platform (serial_match_posix.cpp, serial_match_windows.cpp).
bool SerialNumbersMatch(std::string_view serialNumber, std::string_view named);

}  // namespace nevrik
