#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "usb/kv_usb_enumerator.h"
#include "usb/usb_key_identity.h"

namespace nevrik {

// How picking the key to act on among the listed ones ended.
enum class KeyChoice {
  Found,           // exactly one key: the only one listed, or the only one the selector matches
  NoKey,           // no key is listed
  SeveralKeys,     // no selector, and more than one key is listed
  NoneMatched,     // keys are listed, but the selector matches none of them
  SeveralMatched,  // the selector matches more than one key (two keys announcing one serial)
};

struct KeySelection {
  KeyChoice choice = KeyChoice::NoKey;
  // The listed indices of the keys the selector matches, in listing order; without a selector
  // every listed key. Found: exactly one.
  std::vector<unsigned> matches;
};

// The identities of every key the enumerator lists now; sends nothing to the keys.
std::vector<UsbKeyIdentity> ListedIdentities(const KvUsbEnumerator& enumerator);

// Picks the one key to act on: the only one listed when there is no selector, else the only one
// the selector matches. A selector (what --device gave) names a key by its path, its location or
// its serial number exactly as nevrik-info shows them. A serial number also matches as it reads
// in words, with control characters escaped; how its case counts is the platform's
// (SerialNumbersMatch).
KeySelection SelectKey(const std::vector<UsbKeyIdentity>& identities,
                       const std::optional<std::wstring>& selector);

// The WARN line for a selector that matched no key, or several; nothing for the other choices.
void WarnAboutSelector(const KeySelection& selection, std::wstring_view selector);

// What --device gave, when it names something; an empty one is a command-line error, whose
// message goes to errorStream.
std::optional<std::wstring> DeviceSelector(const wchar_t* argument, std::FILE* errorStream);

// The selector as UTF-8, with control characters escaped for a terminal and a log line.
std::string SelectorWords(std::wstring_view selector);

}  // namespace nevrik
