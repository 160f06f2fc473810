#include "app/key_selection.h"

#include "app/identity_words.h"
#include "app/log.h"
#include "app/serial_match.h"
#include "app/wide_to_utf8.h"

namespace nevrik {

namespace {

// A serial number as nevrik-info's words show it, without the quotes around it.
std::string SerialAsWords(const std::string& serialNumber) {
  const std::string quoted = QuotedKeyText(serialNumber);
  return quoted.substr(1, quoted.size() - 2);
}

// selector is what --device gave, named the same in UTF-8.
bool SelectorMatches(const UsbKeyIdentity& identity, std::wstring_view selector,
                     const std::string& named) {
  if (selector.empty()) {
    return false;
  }
  if (identity.path == selector) {
    return true;
  }
  if (!identity.location.empty() && identity.location == named) {
    return true;
  }
  return identity.serialNumber &&
         (SerialNumbersMatch(*identity.serialNumber, named) ||
          SerialNumbersMatch(SerialAsWords(*identity.serialNumber), named));
}

}  // namespace

std::vector<UsbKeyIdentity> ListedIdentities(const KvUsbEnumerator& enumerator) {
  std::vector<UsbKeyIdentity> identities;
  for (unsigned index = 0; index < enumerator.GetCount(); ++index) {
    identities.push_back(enumerator.GetIdentity(index));
  }
  return identities;
}

KeySelection SelectKey(const std::vector<UsbKeyIdentity>& identities,
                       const std::optional<std::wstring>& selector) {
  KeySelection selection;
  const std::string named = selector ? WideToUtf8(*selector) : std::string();
  for (unsigned index = 0; index < identities.size(); ++index) {
    if (!selector || SelectorMatches(identities[index], *selector, named)) {
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
  return SerialAsWords(WideToUtf8(std::wstring(selector)));
}

}  // namespace nevrik
