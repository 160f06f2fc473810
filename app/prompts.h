#pragma once

#include "app/interrupt.h"
#include "app/standard_streams.h"
#include "secure/secret_bytes.h"

namespace nevrik {

// What the command line answered before the run, for a run without anyone at the keyboard.
struct PromptAnswers {
  // --yes: the confirmation is shown answered with a "y", as if typed, and nothing is read.
  bool confirmed = false;
  // --so-pin-fd: the SO PIN's line comes from here instead of the input. Not owned.
  std::FILE* soPinInput = nullptr;
};

// Both prompts read the input's descriptor byte by byte (ReadInputByte), never through the C
// library's buffer: nothing is read ahead of the line asked for, and no copy of the SO PIN stays
// behind. An interruption ends either prompt as a refusal, after a newline that ends the prompt's
// line.

// A line may end in "\r\n" as well as in "\n": the "\r" is no part of the answer or the PIN.

// Asks "Are you sure to update the firmware? [y/n]: " until the user answers y, Y, n or N.
// An answer longer than one character earns "Invalid key input"; any other answer, and an empty
// line, asks again silently. The end of the input counts as no.
bool ConfirmUpdate(const StandardStreams& streams,
                   const Interruption& interruption = NoInterruption());
// The same, or the question shown answered when the answers say yes.
bool ConfirmUpdate(const StandardStreams& streams, const PromptAnswers& answers,
                   const Interruption& interruption);

// Asks for the SO PIN with the terminal's echo off and replaces pin with the line typed, without
// its line end; the end of the input ends the PIN. One newline follows, for the unechoed Enter.
// False, with pin empty, when the user interrupted the prompt or gave no PIN: an empty line, or
// the end of the input before any byte. An empty PIN is never worth sending: a key with a PIN
// would count it as a wrong try.
bool ReadSoPin(const StandardStreams& streams, SecretBytes& pin,
               const Interruption& interruption = NoInterruption());
// The same, with the line read from the answers' SO PIN input when they have one.
bool ReadSoPin(const StandardStreams& streams, const PromptAnswers& answers, SecretBytes& pin,
               const Interruption& interruption);

}  // namespace nevrik
