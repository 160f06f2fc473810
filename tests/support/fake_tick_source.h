#pragma once

#include <cstdint>

#include "protocol/tick_source.h"

namespace nevrik::test {

// A millisecond counter, starting at 0, that moves only when told: by the step on every reading,
// and by Advance whenever a test (or a device hook) says time has passed. It wraps at 2^32 like
// the real one.
class FakeTickSource final : public TickSource {
 public:
  std::uint32_t Milliseconds() override {
    const std::uint32_t reading = now;
    now += step;
    return reading;
  }

  void Advance(std::uint32_t milliseconds) { now += milliseconds; }
  void SetStep(std::uint32_t milliseconds) { step = milliseconds; }
  std::uint32_t Now() const { return now; }

 private:
  std::uint32_t now = 0;
  std::uint32_t step = 0;
};

}  // namespace nevrik::test
