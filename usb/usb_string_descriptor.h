#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace nevrik {

// The US English language ID, which hosts ask string descriptors in when a device offers it.
inline constexpr std::uint16_t UsbLanguageUsEnglish = 0x0409;

// The text of a USB string descriptor (bLength, bDescriptorType 3, UTF-16LE code units) as UTF-8.
// The descriptor's own bLength bounds the text, never more than the bytes given; a lone surrogate
// becomes U+FFFD and an odd last byte is dropped, so the result is always valid UTF-8. Nothing
// when the bytes are no string descriptor.
std::optional<std::string> DecodeUsbString(std::span<const std::uint8_t> descriptor);

// The language IDs a device offers in its string descriptor 0; whether US English is among them
// decides which one to ask for.
std::uint16_t ChooseUsbLanguage(std::span<const std::uint8_t> languageDescriptor);

}  // namespace nevrik
