#pragma once

#include <cstddef>
#include <cstdio>

namespace nevrik {

enum class ArgumentKind : int { None = 0, Required = 1, Optional = 2 };

struct LongOption {
  const wchar_t* name;  // null ends a table
  ArgumentKind argumentKind;
  int value;  // what the parser returns for this option
};

inline constexpr int OptionVerbose = 0x10000;
inline constexpr int OptionYes = 0x10002;
inline constexpr int OptionSoPinFd = 0x10003;
inline constexpr int OptionJson = 0x10004;
inline constexpr int OptionDevice = 0x10005;
inline constexpr int OptionError = '?';
inline constexpr int NoMoreOptions = -1;

// help (h), version (v), force (f), verbose, yes, json, and the two that require an argument:
// so-pin-fd and device.
extern const LongOption LongOptions[];
// Each letter is an option; a letter followed by ':' would require an argument, by "::" take an
// optional one.
inline constexpr const wchar_t* ShortOptions = L"hvf";

// Reads options left to right, one call per option. Error messages go to errorStream, one line
// per error.
struct OptionParser {
  std::FILE* errorStream = stderr;
  int nextIndex = 1;                // index of the next argument to examine
  std::size_t clusterPosition = 0;  // next letter inside a cluster such as -fv; 0: a new argument
  // The argument of the option last returned, when it takes one and was given one; else null.
  const wchar_t* optionArgument = nullptr;
};

// The option letter of argument at the cluster position; NoMoreOptions when the argument is not
// an option; OptionError after an error, whose message is already written. nextArgument is the
// following argument when it exists and does not begin with '-', else null.
int ParseShortOption(OptionParser& parser, const wchar_t* argument, const wchar_t* nextArgument,
                     const wchar_t* shortOptions = ShortOptions);

// The value of the long option that name (the argument without its two dashes) names, or an
// unambiguous prefix of it; OptionError after an error (written only when reportErrors).
int ParseLongOption(OptionParser& parser, const wchar_t* name, const wchar_t* nextArgument,
                    const LongOption* table, bool reportErrors);

// The next option of the command line: reads the argument at parser.nextIndex as a long option
// (after "--") or a short one (or the next letter of a cluster). NoMoreOptions at the end of the
// arguments, at a null argument, and after a lone "--" that ends them. An argument that is no
// option (a lone "-" too, and anything after "--") is an error: "unexpected argument -- %ls".
// arguments[0] is the program name.
int NextOption(OptionParser& parser, int count, const wchar_t* const* arguments,
               const LongOption* table, const wchar_t* shortOptions);

}  // namespace nevrik
