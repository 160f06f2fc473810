#include <windows.h>

#include <string>

#include "app/serial_match.h"

namespace nevrik {

namespace {

std::wstring Utf16(std::string_view utf8) {
  if (utf8.empty()) {
    return {};
  }
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

}  // namespace

// The serial number Windows reports is part of the device instance ID, which it keeps in upper
// case: the key's own case is lost, so case cannot count. The fold is the system's own.
bool SerialNumbersMatch(std::string_view serialNumber, std::string_view named) {
  const std::wstring serial = Utf16(serialNumber);
  const std::wstring name = Utf16(named);
  return CompareStringOrdinal(serial.data(), static_cast<int>(serial.size()), name.data(),
                              static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace nevrik
