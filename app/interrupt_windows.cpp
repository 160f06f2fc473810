#include <io.h>
#include <windows.h>

#include <atomic>

#include "app/interrupt.h"
#include "app/terminal.h"

namespace nevrik {

namespace {

// How long a console read that came back empty waits for the Ctrl+C behind it: the event reaches
// its handler on another thread, a moment after the read has ended.
constexpr int EventWaitSteps = 50;
constexpr DWORD EventWaitStepMilliseconds = 10;

std::atomic<int> stopRequests{0};
// Set when the ProcessInterruption goes: the run is over, and a closing console may end the
// process. Made once, for the life of the process.
HANDLE runEnded = nullptr;

// Runs on a thread that Windows starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (stopRequests.fetch_add(1) == 0) {
        return TRUE;  // recorded; the run stops at its next step
      }
      RestoreEchoAtOnce();
      return FALSE;  // the second: Windows' default handler ends the process now
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RestoreEchoAtOnce();
      stopRequests.fetch_add(1);
      // Returning would let Windows end the process at once: wait until the run has sent its
      // cancel request and ended. Windows ends the process after a few seconds all the same.
      WaitForSingleObject(runEnded, INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool ReadOneByte(HANDLE handle, std::uint8_t& byte) {
  DWORD count = 0;
  return ReadFile(handle, &byte, 1, &count, nullptr) != FALSE && count == 1;
}

// A console read that ends with nothing was most likely cut short by Ctrl+C or Ctrl+Break.
InputRead EndOrInterrupted(HANDLE handle, const Interruption& interruption) {
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    for (int step = 0; step < EventWaitSteps && !interruption.IsRequested(); ++step) {
      Sleep(EventWaitStepMilliseconds);
    }
  }
  return interruption.IsRequested() ? InputRead::Interrupted : InputRead::End;
}

// The byte read after a "\r" that no "\n" followed, for the next call on the same handle.
struct PendingByte {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::uint8_t byte = 0;
  bool held = false;
};
PendingByte pending;

void WipeByte(std::uint8_t& byte) {
  *static_cast<volatile std::uint8_t*>(&byte) = 0;
}

}  // namespace

ProcessInterruption::ProcessInterruption() {
  stopRequests.store(0);
  if (runEnded == nullptr) {
    runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ResetEvent(runEnded);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

ProcessInterruption::~ProcessInterruption() {
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  SetEvent(runEnded);
}

bool ProcessInterruption::IsRequested() const {
  return stopRequests.load() != 0;
}

InputRead ReadInputByte(std::FILE* in, const Interruption& interruption, std::uint8_t& byte) {
  if (interruption.IsRequested()) {
    return InputRead::Interrupted;
  }
  const HANDLE handle = HandleOf(in);
  if (pending.held && pending.handle == handle) {
    byte = pending.byte;
    ForgetHeldInput();
    return InputRead::Byte;
  }
  ForgetHeldInput();
  std::uint8_t received = 0;
  if (!ReadOneByte(handle, received)) {
    return EndOrInterrupted(handle, interruption);
  }
  if (received == '\r') {
    std::uint8_t next = 0;
    if (ReadOneByte(handle, next)) {
      if (next == '\n') {
        received = '\n';
      } else {
        pending = PendingByte{handle, next, true};
      }
    }
    WipeByte(next);
  }
  byte = received;
  WipeByte(received);
  return InputRead::Byte;
}

void ForgetHeldInput() {
  WipeByte(pending.byte);
  pending.held = false;
  pending.handle = INVALID_HANDLE_VALUE;
}

}  // namespace nevrik
