#pragma once

#include <cstdint>
#include <cstdio>

namespace nevrik {

// The user's request that a run stop: Ctrl+C, Ctrl+Break, the terminal or console going away, or
// a request to terminate. The update procedure looks at it between its steps, so a request to the
// key is never cut off in the middle; the protocol and transport layers know nothing of it.
class Interruption {
 public:
  virtual ~Interruption() = default;
  // True once the user has asked the run to stop.
  virtual bool IsRequested() const = 0;
};

// A run that nothing interrupts.
class NoInterruptionSource final : public Interruption {
 public:
  bool IsRequested() const override { return false; }
};

inline const Interruption& NoInterruption() {
  static const NoInterruptionSource none;
  return none;
}

// The process's own interruption, from the platform: signals (SIGINT, SIGTERM, SIGHUP) on POSIX,
// console control events (Ctrl+C, Ctrl+Break, the console closing, logoff, shutdown) on Windows.
// While an object lives, the first of these is only recorded; a second one ends the process at
// once, with the terminal's echo restored if a prompt had switched it off. On Windows a closing
// console would end the process as soon as the event is handled, so the handler waits until this
// object is destroyed: the run sends its cancel request and ends on its own, within the few
// seconds Windows allows. One object at a time; a signal or event the user had set to be ignored
// stays ignored. On POSIX, SIGPIPE is ignored while the object lives: a write to an output whose
// reader has gone fails quietly, and the run goes on to its own end.
class ProcessInterruption final : public Interruption {
 public:
  ProcessInterruption();
  ~ProcessInterruption() override;
  ProcessInterruption(const ProcessInterruption&) = delete;
  ProcessInterruption& operator=(const ProcessInterruption&) = delete;

  bool IsRequested() const override;
};

enum class InputRead { Byte, End, Interrupted };

// Reads the next byte of the input behind `in` straight from its descriptor (a console handle on
// Windows), so that no copy of what was typed stays in the C library's buffer; `in` itself is
// never read through. Waits until a byte comes (Byte), the input ends or fails (End), or
// `interruption` is requested (Interrupted; then nothing is read). On Windows a line's "\r\n"
// comes as "\n", as the C library's text mode gives it.
InputRead ReadInputByte(std::FILE* in, const Interruption& interruption, std::uint8_t& byte);

// Wipes and forgets what ReadInputByte holds back for its next call: on Windows the byte read
// after a "\r" that no "\n" followed; nothing on POSIX. Called once a secret's line has been
// read, however the read ended, so that no byte of it outlives the prompt.
void ForgetHeldInput();

}  // namespace nevrik
