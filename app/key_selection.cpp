#include "app/key_selection.h"

#include "app/identity_words.h"
#include "app/log.h"
#include "app/serial_match.h"

namespace nevrik {

namespace {

void AppendUtf8(std::string& text, char32_t point) {
  if (point < 0x80) {
    text += static_cast<char>(point);
  } else if (point < 0x800) {
    text += static_cast<char>(0xC0 | (point >> 6));
    text += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    text += static_cast<char>(0xE0 | (point >> 12));
    text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    text += static_cast<char>(0xF0 | (point >> 18));
    text += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    text += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    text += static_cast<char>(0x80 | (point & 0x3F));
  }
}

bool IsSurrogate(char32_t point) {
  return point >= 0xD800 && point <= 0xDFFF;
}

// A command-line argument as UTF-8: wchar_t holds UTF-16 on Windows and UTF-32 elsewhere. What
// is no character (a lone surrogate, a value beyond U+10FFFF) becomes U+FFFD.
std::string Utf8(std::wstring_view wide) {
  std::string text;
  for (std::size_t at = 0; at < wide.size(); ++at) {
    char32_t point = static_cast<char32_t>(wide[at]);
    if constexpr (sizeof(wchar_t) == 2) {
      const bool pair = point >= 0xD800 && point <= 0xDBFF && at + 1 < wide.size() &&
                        wide[at + 1] >= 0xDC00 && wide[at + 1] <= 0xDFFF;
      if (pair) {
        point = 0x10000 + ((point - 0xD800) << 10) + (static_cast<char32_t>(wide[++at]) - 0xDC00);
      }
    }
    AppendUtf8(text, IsSurrogate(point) || point > 0x10FFFF ? U'\uFFFD' : point);
  }
  return text;
}

// A serial number as nevrik-info's words show it, without the quotes around it.
std::string SerialAsWords(const std::string& serialNumber) {
  const std::string quoted = QuotedKeyText(serialNumber);
  return quoted.substr(1, quoted.size() - 2);
}

}  // namespace

std::vector<UsbKeyIdentity> ListedIdentities(const KvUsbEnumerator& enumerator) {
  std::vector<UsbKeyIdentity> identities;
  for (unsigned index = 0; index < enumerator.GetCount(); ++index) {
    identities.push_back(enumerator.GetIdentity(index));
  }
  return identities;
}

bool SelectorMatches(const UsbKeyIdentity& identity, std::wstring_view selector) {
  if (selector.empty()) {
    return false;
  }
  if (identity.path == selector) {
    return true;
  }
  const std::string named = Utf8(selector);
  if (!identity.location.empty() && identity.location == named) {
    return true;
  }
  return identity.serialNumber &&
         (SerialNumbersMatch(*identity.serialNumber, named) ||
          SerialNumbersMatch(SerialAsWords(*identity.serialNumber), named));
}

KeySelection SelectKey(const std::vector<UsbKeyIdentity>& identities,
                       const std::optional<std::wstring>& selector) {
  KeySelection selection;
  for (unsigned index = 0; index < identities.size(); ++index) {
    if (!selector || SelectorMatches(identities[index], *selector)) {
      selection.matches.push_back(index);
    }
  }
  if (identities.empty()) {
    selection.choice = KeyChoice::NoKey;
  } else if (selection.matches.size() == 1) {
    selection.choice = KeyChoice::Found;
  } else if (!selector) {
    selection.choice = KeyChoice::SeveralKeys;
  } else {
    selection.choice =
        selection.matches.empty() ? KeyChoice::NoneMatched : KeyChoice::SeveralMatched;
  }
  return selection;
}

void WarnAboutSelector(const KeySelection& selection, std::wstring_view selector) {
  if (selection.choice == KeyChoice::NoneMatched) {
    Log(LogLevel::Warn, "No NEVRIK matches --device=%s.\n", SelectorWords(selector).c_str());
  } else if (selection.choice == KeyChoice::SeveralMatched) {
    Log(LogLevel::Warn, "Found %zu NEVRIK devices matching --device=%s; only one should match.\n",
        selection.matches.size(), SelectorWords(selector).c_str());
  }
}

std::optional<std::wstring> DeviceSelector(const wchar_t* argument, std::FILE* errorStream) {
  if (argument == nullptr || *argument == L'\0') {
    std::fprintf(errorStream, "option need an argument -- device\n");
    return std::nullopt;
  }
  return std::wstring(argument);
}

std::string SelectorWords(std::wstring_view selector) {
  return SerialAsWords(Utf8(selector));
}

}  // namespace nevrik
