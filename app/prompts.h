#pragma once

#include "app/interrupt.h"
#include "app/standard_streams.h"
#include "secure/secret_bytes.h"

namespace nevrik {

// Both prompts read the input's descriptor byte by byte (ReadInputByte), never through the C
// library's buffer: nothing is read ahead of the line asked for, and no copy of the SO PIN stays
// behind. An interruption ends either prompt as a refusal, after a newline that ends the prompt's
// line.

// Asks "Are you sure to update the firmware? [y/n]: " until the user answers y, Y, n or N.
// An answer longer than one character earns "Invalid key input"; any other answer, and an empty
// line, asks again silently. The end of the input counts as no.
bool ConfirmUpdate(const StandardStreams& streams,
                   const Interruption& interruption = NoInterruption());

// Asks for the SO PIN with the terminal's echo off and replaces pin with the line typed, without
// its newline; the end of the input ends the PIN. One newline follows, for the unechoed Enter.
// False, with pin empty, when the user interrupted the prompt.
bool ReadSoPin(const StandardStreams& streams, SecretBytes& pin,
               const Interruption& interruption = NoInterruption());

}  // namespace nevrik
