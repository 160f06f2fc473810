#include "app/options.h"

#include <cwchar>

namespace nevrik {

const LongOption LongOptions[] = {
    {L"help", ArgumentKind::None, 'h'},
    {L"version", ArgumentKind::None, 'v'},
    {L"force", ArgumentKind::None, 'f'},
    {L"verbose", ArgumentKind::None, OptionVerbose},
    {L"yes", ArgumentKind::None, OptionYes},
    {L"so-pin-fd", ArgumentKind::Required, OptionSoPinFd},
    {L"json", ArgumentKind::None, OptionJson},
    {L"device", ArgumentKind::Required, OptionDevice},
    {nullptr, ArgumentKind::None, 0},
};

int ParseShortOption(OptionParser& parser, const wchar_t* argument, const wchar_t* nextArgument,
                     const wchar_t* shortOptions) {
  parser.optionArgument = nullptr;
  if (parser.clusterPosition == 0) {
    if (argument == nullptr || argument[0] != L'-' || argument[1] == L'\0') {
      return NoMoreOptions;
    }
    parser.clusterPosition = 1;
  }

  const wchar_t letter = argument[parser.clusterPosition];
  const wchar_t* spec = letter == L':' ? nullptr : std::wcschr(shortOptions, letter);
  if (spec == nullptr) {
    std::fprintf(parser.errorStream, "unknown option -- %lc\n", static_cast<wint_t>(letter));
    return OptionError;
  }

  const bool followedInCluster = argument[parser.clusterPosition + 1] != L'\0';
  if (spec[1] != L':') {
    if (followedInCluster) {
      ++parser.clusterPosition;
    } else {
      ++parser.nextIndex;
      parser.clusterPosition = 0;
    }
    return letter;
  }

  const bool optional = spec[2] == L':';
  if (followedInCluster) {
    parser.optionArgument = argument + parser.clusterPosition + 1;
    parser.nextIndex += 1;  // the rest of the cluster is the argument
  } else if (nextArgument != nullptr) {
    parser.optionArgument = nextArgument;
    parser.nextIndex += 2;
  } else if (optional) {
    parser.nextIndex += 1;
  } else {
    std::fprintf(parser.errorStream, "option -%lc need an argument.\n",
                 static_cast<wint_t>(letter));
    return OptionError;
  }
  parser.clusterPosition = 0;
  return letter;
}

int ParseLongOption(OptionParser& parser, const wchar_t* name, const wchar_t* nextArgument,
                    const LongOption* table, bool reportErrors) {
  parser.optionArgument = nullptr;
  const wchar_t* equals = std::wcschr(name, L'=');
  const std::size_t nameLength =
      equals != nullptr ? static_cast<std::size_t>(equals - name) : std::wcslen(name);
  const bool carriesValue = equals != nullptr;

  const LongOption* candidate = nullptr;
  bool ambiguous = false;
  for (const LongOption* option = table; option->name != nullptr; ++option) {
    if (std::wcslen(option->name) >= nameLength &&
        std::wcsncmp(option->name, name, nameLength) == 0) {
      if (candidate == nullptr) {
        candidate = option;
      } else {
        ambiguous = true;
      }
    }
  }

  if (ambiguous) {
    if (reportErrors) {
      std::fprintf(parser.errorStream, "ambiguous option -- %ls\n", name);
    }
    return OptionError;
  }
  if (candidate == nullptr) {
    if (reportErrors) {
      std::fprintf(parser.errorStream, "unknown option -- %ls\n", name);
    }
    return OptionError;
  }

  if (candidate->argumentKind == ArgumentKind::None) {
    if (carriesValue) {
      if (reportErrors) {
        std::fprintf(parser.errorStream, "option doesn't take an argument -- %ls\n", name);
      }
      return OptionError;
    }
    parser.nextIndex += 1;
  } else if (carriesValue) {
    parser.optionArgument = equals + 1;
    parser.nextIndex += 1;
  } else if (nextArgument != nullptr) {
    parser.optionArgument = nextArgument;
    parser.nextIndex += 2;
  } else if (candidate->argumentKind == ArgumentKind::Optional) {
    parser.nextIndex += 1;
  } else {
    if (reportErrors) {
      std::fprintf(parser.errorStream, "option need an argument -- %ls\n", name);
    }
    return OptionError;
  }
  parser.clusterPosition = 0;
  return candidate->value;
}

namespace {

// The argument after the current one, when there is one and it is not an option itself.
const wchar_t* NextArgument(int count, const wchar_t* const* arguments, int index) {
  if (index + 1 >= count) {
    return nullptr;
  }
  const wchar_t* next = arguments[index + 1];
  return next != nullptr && next[0] != L'-' ? next : nullptr;
}

// Every argument must be an option: one that is silently left over could name a key, or a
// file, that the user meant the run to act on.
int RefuseArgument(const OptionParser& parser, const wchar_t* argument) {
  std::fprintf(parser.errorStream, "unexpected argument -- %ls\n", argument);
  return OptionError;
}

}  // namespace

int NextOption(OptionParser& parser, int count, const wchar_t* const* arguments,
               const LongOption* table, const wchar_t* shortOptions) {
  const int index = parser.nextIndex;
  if (index >= count || arguments[index] == nullptr) {
    return NoMoreOptions;
  }
  const wchar_t* argument = arguments[index];
  const wchar_t* next = NextArgument(count, arguments, index);
  if (std::wcscmp(argument, L"--") == 0) {
    ++parser.nextIndex;
    const bool more = parser.nextIndex < count && arguments[parser.nextIndex] != nullptr;
    return more ? RefuseArgument(parser, arguments[parser.nextIndex]) : NoMoreOptions;
  }
  if (argument[0] == L'-' && argument[1] == L'-') {
    return ParseLongOption(parser, argument + 2, next, table, true);
  }
  const int option = ParseShortOption(parser, argument, next, shortOptions);
  return option == NoMoreOptions ? RefuseArgument(parser, argument) : option;
}

}  // namespace nevrik
