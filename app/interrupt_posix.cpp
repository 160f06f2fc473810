#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <iterator>

#include "app/interrupt.h"
#include "app/terminal.h"

namespace nevrik {

namespace {

// Ctrl+C, a request to terminate and the terminal hanging up ask the run to stop. Ctrl+\ (quit)
// ends the process at once, as it always does, but not with the terminal's echo left off.
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t HandledCount = std::size(HandledSignals);

// Written by the signal handler, read by the main thread.
volatile std::sig_atomic_t stopRequested = 0;
// A stop signal taken by another thread (libusb's event thread) is passed on to the thread that
// waits for input, so that its wait ends; the passed-on one counts no second time.
pthread_t mainThread;
volatile std::sig_atomic_t passedOn = 0;

// What the handled signals did before, put back when the object goes.
struct sigaction previousActions[HandledCount] = {};
bool replaced[HandledCount] = {};
struct sigaction previousPipeAction {};

// The end the signal would have brought without us, with the terminal's echo back on first.
// Only async-signal-safe calls. The signal stays blocked until the handler returns, so the raised
// one ends the process right after.
void EndProcess(int signalNumber) {
  RestoreEchoAtOnce();
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  sigaction(signalNumber, &defaultAction, nullptr);
  raise(signalNumber);
}

extern "C" void OnSignal(int signalNumber) {
  const bool onMainThread = pthread_equal(pthread_self(), mainThread) != 0;
  if (onMainThread && passedOn != 0) {
    passedOn = 0;
    return;
  }
  if (signalNumber != SIGQUIT && stopRequested == 0) {
    stopRequested = 1;
    if (!onMainThread) {
      passedOn = 1;
      pthread_kill(mainThread, signalNumber);
    }
    return;
  }
  EndProcess(signalNumber);
}

sigset_t StopSignalSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signalNumber : StopSignals) {
    sigaddset(&set, signalNumber);
  }
  return set;
}

}  // namespace

ProcessInterruption::ProcessInterruption() {
  stopRequested = 0;
  passedOn = 0;
  mainThread = pthread_self();
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // A write to standard output that a signal interrupts is restarted, so no text is lost. The
  // waits are not: pselect and poll return early whatever the flag says, so a prompt can end, and
  // libusb carries on with its interrupted wait for a transfer, which therefore completes.
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < HandledCount; ++i) {
    sigaction(HandledSignals[i], nullptr, &previousActions[i]);
    // A signal the user chose to ignore (nohup) stays ignored.
    replaced[i] = previousActions[i].sa_handler != SIG_IGN;
    if (replaced[i]) {
      sigaction(HandledSignals[i], &action, nullptr);
    }
  }
  // Output whose reader has gone (`| tee` after Ctrl+C, `| less` quit, `| head`) must not end the
  // run in the middle of a request: the write fails and the run goes on.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, &previousPipeAction);
}

ProcessInterruption::~ProcessInterruption() {
  sigaction(SIGPIPE, &previousPipeAction, nullptr);
  for (std::size_t i = 0; i < HandledCount; ++i) {
    if (replaced[i]) {
      sigaction(HandledSignals[i], &previousActions[i], nullptr);
    }
  }
}

bool ProcessInterruption::IsRequested() const {
  return stopRequested != 0;
}

// The stop signals are blocked from the look at the interruption until the wait for input has
// begun, which unblocks them atomically: one that comes in between ends the wait instead of being
// missed.
InputRead ReadInputByte(std::FILE* in, const Interruption& interruption, std::uint8_t& byte) {
  const int descriptor = fileno(in);
  if (descriptor < 0) {
    return InputRead::End;
  }
  const sigset_t stopSignals = StopSignalSet();
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previousMask);
  InputRead result = InputRead::End;
  unsigned char received = 0;
  for (;;) {
    if (interruption.IsRequested()) {
      result = InputRead::Interrupted;
      break;
    }
    if (descriptor < FD_SETSIZE) {
      fd_set readable;
      FD_ZERO(&readable);
      FD_SET(descriptor, &readable);
      if (pselect(descriptor + 1, &readable, nullptr, nullptr, nullptr, &previousMask) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
    }
    // Past select's reach, ppoll waits in the same way, unblocking the stop signals atomically
    // with the wait; a read would be restarted after the signal and go on waiting.
    if (descriptor >= FD_SETSIZE) {
      pollfd readable{descriptor, POLLIN, 0};
      if (ppoll(&readable, 1, nullptr, &previousMask) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
    }
    const ssize_t count = read(descriptor, &received, 1);
    if (count == 1) {
      byte = received;
      result = InputRead::Byte;
      break;
    }
    if (count < 0 && errno == EINTR) {
      continue;
    }
    break;  // the end of the input, or an error
  }
  *static_cast<volatile unsigned char*>(&received) = 0;
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  return result;
}

// Every byte goes straight from the descriptor to the caller: nothing is held back.
void ForgetHeldInput() {}

}  // namespace nevrik
