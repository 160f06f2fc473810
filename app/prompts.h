#pragma once

#include "app/standard_streams.h"
#include "secure/secret_bytes.h"

namespace nevrik {

// Asks "Are you sure to update the firmware? [y/n]: " until the user answers y, Y, n or N.
// An answer longer than one character earns "Invalid key input"; any other answer, and an empty
// line, asks again silently. The end of the input counts as no.
bool ConfirmUpdate(const StandardStreams& streams);

// Asks for the SO PIN with the terminal's echo off and replaces pin with the line typed, without
// its newline; the end of the input ends the PIN. One newline follows, for the unechoed Enter.
void ReadSoPin(const StandardStreams& streams, SecretBytes& pin);

}  // namespace nevrik
