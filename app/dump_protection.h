#pragma once

namespace nevrik {

// The PIN and the session keys live in this process's memory: makes the process leave no core
// file behind (Ctrl+\, a crash) and, where the system has it, closes it to debuggers and memory
// readers of other users. Called first thing by the POSIX entry point; the process stays so.
void KeepMemoryOutOfDumps();

}  // namespace nevrik
