#pragma once

#include <cstdio>
#include <optional>

namespace nevrik {

// The SO PIN's own input for scripts (--so-pin-fd=N): a descriptor that the caller opened and
// handed over, so that the PIN is on no command line and in no environment. One implementation
// per platform: so_pin_descriptor_posix.cpp, so_pin_descriptor_windows.cpp (which has none).

// The descriptor that text names: a decimal number, open for reading, other than standard output
// and standard error (which the run still writes to and must not close). Otherwise writes one
// line on errorStream and gives nothing.
std::optional<int> SoPinDescriptor(const wchar_t* text, std::FILE* errorStream);

// A stream over a descriptor that SoPinDescriptor accepted, for ReadSoPin, which reads it byte by
// byte and never through the stream's buffer; closing the stream closes the descriptor. Null when
// no stream could be made.
std::FILE* OpenSoPinDescriptor(int descriptor);

}  // namespace nevrik
