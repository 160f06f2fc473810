#include <chrono>

#include "protocol/tick_source.h"

namespace nevrik {

namespace {

class MonotonicTickSource final : public TickSource {
 public:
  std::uint32_t Milliseconds() override {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count());
  }
};

}  // namespace

TickSource& SystemTickSource() {
  static MonotonicTickSource source;
  return source;
}

}  // namespace nevrik
