#pragma once

#include <cstdint>

namespace nevrik {

// A millisecond tick counter that wraps at 2^32; only differences of two readings mean anything.
// The session's synchronisation deadlines are measured with it; tests substitute their own.
class TickSource {
 public:
  virtual std::uint32_t Milliseconds() = 0;

 protected:
  ~TickSource() = default;
};

// The system's counter (GetTickCount on Windows, a monotonic clock elsewhere). One file per
// platform: tick_source_windows.cpp, tick_source_posix.cpp.
TickSource& SystemTickSource();

}  // namespace nevrik
