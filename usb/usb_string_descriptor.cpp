#include "usb/usb_string_descriptor.h"

#include <algorithm>

namespace nevrik {

namespace {

constexpr std::uint8_t StringDescriptorType = 0x03;
constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(std::string& text, char32_t code) {
  if (code < 0x80) {
    text += static_cast<char>(code);
  } else if (code < 0x800) {
    text += static_cast<char>(0xC0 | (code >> 6));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    text += static_cast<char>(0xE0 | (code >> 12));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (code >> 18));
    text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

}  // namespace

std::optional<std::string> DecodeUsbString(std::span<const std::uint8_t> descriptor) {
  if (descriptor.size() < 2 || descriptor[1] != StringDescriptorType || descriptor[0] < 2) {
    return std::nullopt;
  }
  const std::size_t end = std::min<std::size_t>(descriptor[0], descriptor.size());
  std::string text;
  const auto unitAt = [&](std::size_t offset) {
    return static_cast<char32_t>(descriptor[offset] | (descriptor[offset + 1] << 8));
  };
  for (std::size_t offset = 2; offset + 1 < end; offset += 2) {
    const char32_t unit = unitAt(offset);
    if (IsHighSurrogate(unit) && offset + 3 < end && IsLowSurrogate(unitAt(offset + 2))) {
      AppendUtf8(text, 0x10000 + ((unit - 0xD800) << 10) + (unitAt(offset + 2) - 0xDC00));
      offset += 2;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(text, Replacement);
    } else {
      AppendUtf8(text, unit);
    }
  }
  return text;
}

std::uint16_t ChooseUsbLanguage(std::span<const std::uint8_t> languageDescriptor) {
  const std::size_t end = languageDescriptor.size() < 2
                              ? 0
                              : std::min<std::size_t>(languageDescriptor[0], languageDescriptor.size());
  std::optional<std::uint16_t> first;
  for (std::size_t offset = 2; offset + 1 < end; offset += 2) {
    const auto language =
        static_cast<std::uint16_t>(languageDescriptor[offset] | (languageDescriptor[offset + 1] << 8));
    if (language == UsbLanguageUsEnglish) {
      return language;
    }
    first = first.value_or(language);
  }
  return first.value_or(UsbLanguageUsEnglish);
}

}  // namespace nevrik
