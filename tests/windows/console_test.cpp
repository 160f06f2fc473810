// The Windows console code (echo for the SO PIN, escape sequences for colour, the debugger sink)
// against faked console calls. The streams are files or NUL; the fake decides which of their
// handles count as consoles, as GetConsoleMode would.
#include <io.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/interrupt.h"
#include "app/log.h"
#include "app/prompts.h"
#include "app/terminal.h"
#include "tests/support/captured_file.h"
#include "tests/windows/fake_platform.h"

namespace nevrik {
namespace {

using test::CapturedFile;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A console's input mode as Windows sets it up: processed, line and echo input among others.
constexpr DWORD InputMode = 0x01F7;
constexpr DWORD InputModeWithoutEcho = InputMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT);
// A console's output mode without and with escape-sequence processing.
constexpr DWORD OutputMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
constexpr DWORD OutputModeWithEscapes = OutputMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING;

HANDLE HandleOf(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// NUL: a character device, so _isatty calls it a terminal, and yet no console.
class NulDevice {
 public:
  explicit NulDevice(const char* mode) : file(std::fopen("NUL", mode)) {}
  ~NulDevice() {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
  NulDevice(const NulDevice&) = delete;
  NulDevice& operator=(const NulDevice&) = delete;

  std::FILE* File() const { return file; }

 private:
  std::FILE* file;
};

std::string Text(const SecretBytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class ConsoleTest : public ::testing::Test {
 protected:
  FakePlatform platform;
  FakePlatform::Installation installation{platform};
};

using EchoTest = ConsoleTest;

TEST_F(EchoTest, PinIsReadWithEchoOffAndTheSavedModeComesBackBeforeTheNewline) {
  const CapturedFile in("s3cret\nnext\n");
  const CapturedFile out;
  platform.AddConsole(HandleOf(in.File()), "stdin", InputMode);
  // What the user had seen and how much of the input had been read when each call was made.
  std::vector<std::string> moments;
  platform.onCall = [&](const std::string& call) {
    moments.push_back(call + " | shown \"" + out.Text() + "\", read " +
                      std::to_string(std::ftell(in.File())));
  };

  SecretBytes pin;
  ReadSoPin({in.File(), out.File(), stderr}, pin);

  EXPECT_EQ(Text(pin), "s3cret");
  EXPECT_EQ(out.Text(), "SO PIN: \n");
  EXPECT_THAT(moments, ElementsAre("GetConsoleMode(stdin) | shown \"\", read 0",
                                   "SetConsoleMode(stdin, 0x01F3) | shown \"\", read 0",
                                   "SetConsoleMode(stdin, 0x01F7) | shown \"SO PIN: \", read 7"));
  EXPECT_EQ(platform.ConsoleMode("stdin"), InputMode);
}

// The console hands a line over with "\r\n"; the C library's text mode would make it "\n".
TEST_F(EchoTest, LineEndingInCarriageReturnAndLineFeedEndsThePin) {
  const CapturedFile in("12\r34\r\nnext\r\n");
  const CapturedFile out;
  SecretBytes pin;
  EXPECT_TRUE(ReadSoPin({in.File(), out.File(), stderr}, pin));
  EXPECT_EQ(Text(pin), "12\r34");
  EXPECT_EQ(std::ftell(in.File()), 7);  // up to the end of the first line
}

TEST_F(EchoTest, InputFromAFileIsReadAsItComesWithNoModeChanged) {
  const CapturedFile in("s3cret\n");
  const CapturedFile out;
  SecretBytes pin;
  ReadSoPin({in.File(), out.File(), stderr}, pin);
  EXPECT_EQ(Text(pin), "s3cret");
  EXPECT_EQ(out.Text(), "SO PIN: \n");
  EXPECT_THAT(platform.Calls(), ElementsAre("GetConsoleMode(other)"));
}

TEST_F(EchoTest, InputFromNulIsNoConsoleThoughACharacterDevice) {
  const NulDevice in("r");
  ASSERT_NE(in.File(), nullptr);
  ASSERT_TRUE(IsTerminal(in.File()));
  const CapturedFile out;
  SecretBytes pin{'o', 'l', 'd'};
  ReadSoPin({in.File(), out.File(), stderr}, pin);
  EXPECT_EQ(Text(pin), "");
  EXPECT_EQ(out.Text(), "SO PIN: \n");
  // Once for the echo, once when the read comes back empty: no console, so no Ctrl+C to wait for.
  EXPECT_THAT(platform.Calls(), ElementsAre("GetConsoleMode(other)", "GetConsoleMode(other)"));
}

using InterruptionTest = ConsoleTest;

// Ctrl+C and Ctrl+Break: the first is only recorded (handled, so Windows does not end the
// process); the second puts echo back and leaves the process to Windows' default handler.
TEST_F(InterruptionTest, SecondCtrlCEndsTheProcessWithEchoRestored) {
  for (const DWORD event :
       {static_cast<DWORD>(CTRL_C_EVENT), static_cast<DWORD>(CTRL_BREAK_EVENT)}) {
    const CapturedFile in;
    platform.AddConsole(HandleOf(in.File()), "stdin", InputMode);
    {
      const ProcessInterruption interruption;
      ASSERT_EQ(platform.CtrlHandlerCount(), 1u);
      ASSERT_TRUE(SwitchEchoOff(in.File()));
      EXPECT_FALSE(interruption.IsRequested());

      EXPECT_TRUE(platform.RaiseConsoleEvent(event));
      EXPECT_TRUE(interruption.IsRequested());
      EXPECT_EQ(platform.ConsoleMode("stdin"), InputModeWithoutEcho);

      EXPECT_FALSE(platform.RaiseConsoleEvent(event));
      EXPECT_EQ(platform.ConsoleMode("stdin"), InputMode);
      RestoreEcho();
    }
    EXPECT_EQ(platform.CtrlHandlerCount(), 0u);
  }
}

// Windows ends the process as soon as the handler of a closing console returns: it waits until
// the run is over, with echo back on from the start.
TEST_F(InterruptionTest, ClosingConsoleWaitsForTheRunToEnd) {
  const CapturedFile in;
  platform.AddConsole(HandleOf(in.File()), "stdin", InputMode);
  auto interruption = std::make_unique<ProcessInterruption>();
  ASSERT_TRUE(SwitchEchoOff(in.File()));

  std::future<bool> handled =
      std::async(std::launch::async, [&] { return platform.RaiseConsoleEvent(CTRL_CLOSE_EVENT); });
  while (!interruption->IsRequested()) {
    std::this_thread::yield();
  }
  EXPECT_EQ(platform.ConsoleMode("stdin"), InputMode);
  EXPECT_EQ(handled.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);

  RestoreEcho();
  interruption.reset();  // the run is over
  EXPECT_TRUE(handled.get());
}

// Ctrl+C ends the console read early, while the event reaches the handler on another thread.
// What was typed until then must not go out as the PIN (the key would count a wrong try).
TEST_F(InterruptionTest, PinCutShortByCtrlCIsDropped) {
  const CapturedFile in("s3c");  // the console read comes back empty after these
  const CapturedFile out;
  platform.AddConsole(HandleOf(in.File()), "stdin", InputMode);
  const ProcessInterruption interruption;
  std::thread event;
  platform.onCall = [&](const std::string& call) {
    if (call == "GetConsoleMode(stdin)" && !event.joinable() && std::ftell(in.File()) == 3) {
      event = std::thread([&] { platform.RaiseConsoleEvent(CTRL_C_EVENT); });
    }
  };

  SecretBytes pin;
  EXPECT_FALSE(ReadSoPin({in.File(), out.File(), stderr}, pin, interruption));
  event.join();
  EXPECT_TRUE(pin.empty());
  EXPECT_EQ(out.Text(), "SO PIN: \n");
  EXPECT_EQ(platform.ConsoleMode("stdin"), InputMode);
}

// Requested from the given look on: the run is interrupted between two reads.
class InterruptionAtLook final : public Interruption {
 public:
  explicit InterruptionAtLook(int look) : remaining(look) {}
  bool IsRequested() const override { return --remaining <= 0; }

 private:
  mutable int remaining;
};

// After "\r" the reader holds the next byte back for its next call; an interruption between the
// two leaves it nowhere: the input goes on after it.
TEST_F(InterruptionTest, PinByteHeldBackAfterACarriageReturnIsForgotten) {
  const CapturedFile in("12\rXY");
  const CapturedFile out;
  SecretBytes pin;
  EXPECT_FALSE(ReadSoPin({in.File(), out.File(), stderr}, pin, InterruptionAtLook(4)));
  EXPECT_TRUE(pin.empty());
  std::uint8_t next = 0;
  ASSERT_EQ(ReadInputByte(in.File(), NoInterruption(), next), InputRead::Byte);
  EXPECT_EQ(next, 'Y');
}

TEST_F(InterruptionTest, EndOfAFileIsTheEndOfThePin) {
  const CapturedFile in("s3c");
  const CapturedFile out;
  const ProcessInterruption interruption;
  SecretBytes pin;
  EXPECT_TRUE(ReadSoPin({in.File(), out.File(), stderr}, pin, interruption));
  EXPECT_EQ(Text(pin), "s3c");
}

// The logger's settings are process-wide; each test starts from the defaults and puts them back.
class LogConsoleTest : public ConsoleTest {
 protected:
  void SetUp() override { logSettings = LogSettings{}; }
  void TearDown() override { logSettings = saved; }

  const LogSettings saved = logSettings;
};

using EnableVirtualTerminalTest = LogConsoleTest;

// The log stream and standard output are apart here so that what reaches standard output shows.
TEST_F(EnableVirtualTerminalTest, NoConsoleIsFalseAndSilent) {
  const CapturedFile logStream;
  const CapturedFile standardOutput;
  logSettings.logStream = logStream.File();
  logSettings.standardOutput = standardOutput.File();
  EXPECT_FALSE(EnableVirtualTerminal());
  EXPECT_THAT(platform.Calls(), ElementsAre("GetConsoleMode(other)"));
  EXPECT_EQ(standardOutput.Text(), "");
}

TEST_F(EnableVirtualTerminalTest, ConsoleThatProcessesEscapesAlreadyIsLeftAlone) {
  const CapturedFile logStream;
  platform.AddConsole(HandleOf(logStream.File()), "stdout", OutputModeWithEscapes);
  logSettings.logStream = logStream.File();
  EXPECT_TRUE(EnableVirtualTerminal());
  EXPECT_THAT(platform.Calls(), ElementsAre("GetConsoleMode(stdout)"));
}

TEST_F(EnableVirtualTerminalTest, ConsoleIsSwitchedToProcessEscapes) {
  const CapturedFile logStream;
  const CapturedFile standardOutput;
  platform.AddConsole(HandleOf(logStream.File()), "stdout", OutputMode);
  logSettings.logStream = logStream.File();
  logSettings.standardOutput = standardOutput.File();
  EXPECT_TRUE(EnableVirtualTerminal());
  EXPECT_THAT(platform.Calls(),
              ElementsAre("GetConsoleMode(stdout)", "SetConsoleMode(stdout, 0x0007)"));
  EXPECT_EQ(platform.ConsoleMode("stdout"), OutputModeWithEscapes);
  EXPECT_EQ(standardOutput.Text(), "");
}

TEST_F(EnableVirtualTerminalTest, RefusalIsReportedWithTheErrorCodeOnStandardOutput) {
  const CapturedFile logStream;
  const CapturedFile standardOutput;
  platform.AddConsole(HandleOf(logStream.File()), "stdout", OutputMode);
  platform.setConsoleModeError = ERROR_INVALID_PARAMETER;  // a console from before escapes
  logSettings.logStream = logStream.File();
  logSettings.standardOutput = standardOutput.File();
  EXPECT_FALSE(EnableVirtualTerminal());
  EXPECT_EQ(standardOutput.Text(), "failed. 87\n");
  EXPECT_EQ(logStream.Text(), "");
  EXPECT_EQ(platform.ConsoleMode("stdout"), OutputMode);
}

// InitLogOutput's automatic colour: standard output's descriptor must be a terminal (_isatty) and
// its console must take escape sequences.
using ColourDecisionTest = LogConsoleTest;

TEST_F(ColourDecisionTest, NulIsATerminalButNoConsoleSoNoColour) {
  const NulDevice out("w");
  ASSERT_NE(out.File(), nullptr);
  logSettings.standardOutput = out.File();
  InitLogOutput();
  EXPECT_FALSE(logSettings.colorEnabled);
  EXPECT_THAT(platform.Calls(), ElementsAre("GetConsoleMode(other)"));
}

TEST_F(ColourDecisionTest, ConsoleThatTakesEscapesGetsColour) {
  const NulDevice out("w");
  ASSERT_NE(out.File(), nullptr);
  platform.AddConsole(HandleOf(out.File()), "stdout", OutputMode);
  logSettings.standardOutput = out.File();
  InitLogOutput();
  EXPECT_TRUE(logSettings.colorEnabled);
  EXPECT_THAT(platform.Calls(),
              ElementsAre("GetConsoleMode(stdout)", "SetConsoleMode(stdout, 0x0007)"));
}

TEST_F(ColourDecisionTest, ConsoleThatRefusesEscapesGetsNoColour) {
  const NulDevice out("w");
  ASSERT_NE(out.File(), nullptr);
  platform.AddConsole(HandleOf(out.File()), "stdout", OutputMode);
  platform.setConsoleModeError = ERROR_INVALID_PARAMETER;
  logSettings.standardOutput = out.File();
  InitLogOutput();
  EXPECT_FALSE(logSettings.colorEnabled);
  EXPECT_THAT(platform.Calls(),
              ElementsAre("GetConsoleMode(stdout)", "SetConsoleMode(stdout, 0x0007)"));
}

TEST_F(ColourDecisionTest, DescriptorThatIsNoTerminalIsNotAskedAtAll) {
  const CapturedFile out;
  platform.AddConsole(HandleOf(out.File()), "stdout", OutputMode);
  logSettings.standardOutput = out.File();
  InitLogOutput();
  EXPECT_FALSE(logSettings.colorEnabled);
  EXPECT_THAT(platform.Calls(), IsEmpty());
}

TEST_F(LogConsoleTest, DebuggerSinkHandsEachPieceToOutputDebugStringWithoutColour) {
  logSettings.logSink = LogSink::Debugger;
  logSettings.colorEnabled = true;
  Log(LogLevel::Error, "Write request failed: %s\n", "Timeout");
  LogRaw("key ");
  const std::uint8_t bytes[] = {0x0A, 0xFF};
  LogHexDump(bytes, sizeof bytes);
  EXPECT_THAT(platform.Calls(),
              ElementsAre(R"(OutputDebugStringA("[ERROR  ] Write request failed: Timeout\n"))",
                          R"(OutputDebugStringA("key "))", R"(OutputDebugStringA("0aff"))"));
}

}  // namespace
}  // namespace nevrik
