#include <windows.h>

#include "protocol/tick_source.h"

namespace nevrik {

namespace {

class WindowsTickSource final : public TickSource {
 public:
  std::uint32_t Milliseconds() override { return GetTickCount(); }
};

}  // namespace

TickSource& SystemTickSource() {
  static WindowsTickSource source;
  return source;
}

}  // namespace nevrik
