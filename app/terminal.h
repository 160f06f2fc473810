#pragma once

#include <cstdio>

namespace nevrik {

// What the updater needs to know about, and do to, the terminal behind a standard stream.
// One implementation per platform: terminal_posix.cpp, terminal_windows.cpp.

// Whether the stream's file descriptor is a terminal (a character device on Windows).
bool IsTerminal(std::FILE* stream);

// Makes the terminal behind stream process escape sequences, and answers whether it does.
// A refusal by a terminal is reported as "failed. %d\n" on standardOutput.
bool EnableEscapeSequences(std::FILE* stream, std::FILE* standardOutput);

// Hands text to the platform's channel for a debugger.
void WriteToDebugger(const char* text);

}  // namespace nevrik

namespace nevrik {

// The echo of the terminal behind an input stream, switched off while a secret is typed.
// SwitchEchoOff saves the terminal's input mode and clears its echo; it changes nothing and
// returns false when the stream is no terminal (a file, a pipe, NUL). RestoreEcho puts the saved
// mode back. RestoreEchoAtOnce puts it back too but forgets nothing; it is safe in a signal
// handler and on Windows' console event thread, where ProcessInterruption (app/interrupt.h)
// calls it before it lets the process end, so the user's shell is never left without echo.
bool SwitchEchoOff(std::FILE* in);
void RestoreEcho();
void RestoreEchoAtOnce();

}  // namespace nevrik
