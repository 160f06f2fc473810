// The wait for a byte of input and a stop signal that comes just before it: the signal must end
// the wait, wherever the input's descriptor lies, also past select's reach.
#include <signal.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/interrupt.h"

namespace nevrik {
namespace {

// The user's Ctrl+C that comes right after the read looked at the interruption, while it holds
// the stop signals blocked: the signal is pending as the wait begins.
class CtrlCAfterTheLook final : public Interruption {
 public:
  explicit CtrlCAfterTheLook(const ProcessInterruption& process) : process(process) {}
  bool IsRequested() const override {
    if (!raised) {
      raised = true;
      raise(SIGINT);
    }
    return process.IsRequested();
  }

 private:
  const ProcessInterruption& process;
  mutable bool raised = false;
};

class InputWait : public ::testing::TestWithParam<int> {};

TEST_P(InputWait, EndsAtASignalPendingAsItBegins) {
  // Room for the high descriptor, where the soft limit is lower (often 1024).
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_cur <= static_cast<rlim_t>(GetParam())) {
    files.rlim_cur = files.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  }
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int descriptor = GetParam() == 0 ? ends[0] : dup2(ends[0], GetParam());
  ASSERT_GE(descriptor, 0);
  std::FILE* in = fdopen(descriptor, "r");
  ASSERT_NE(in, nullptr);
  // A wait that misses the signal would last for ever; a byte typed later ends it instead.
  std::atomic<bool> done = false;
  std::thread typist([&] {
    for (int waited = 0; waited < 2000 && !done; ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!done) {
      EXPECT_EQ(write(ends[1], "x", 1), 1);
    }
  });

  InputRead result = InputRead::End;
  {
    const ProcessInterruption process;
    const CtrlCAfterTheLook interruption(process);
    std::uint8_t byte = 0;
    result = ReadInputByte(in, interruption, byte);
  }
  done = true;
  typist.join();
  EXPECT_EQ(result, InputRead::Interrupted);
  std::fclose(in);
  if (descriptor != ends[0]) {
    close(ends[0]);
  }
  close(ends[1]);
}

// The pipe's own low descriptor, and one past select's reach (FD_SETSIZE).
INSTANTIATE_TEST_SUITE_P(WithinAndPastSelectsReach, InputWait,
                         ::testing::Values(0, FD_SETSIZE + 10));

}  // namespace
}  // namespace nevrik
