#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "app/printf_format.h"

namespace nevrik {

enum class LogLevel : int { None = 0, Error = 1, Warn = 2, Info = 3, Verbose = 4 };

// Where log text goes. Values other than these write nothing.
enum class LogSink : int { Stream = 0, Debugger = 1, StreamAndStdout = 3 };

// Auto: colour exactly on a terminal that takes escape sequences. Values other than these: never.
enum class ColorMode : int { Auto = 0, Always = 1 };

// Sees every piece of text that the logger writes: a levelled line's message without its prefix,
// and raw text (LogRaw, LogHexDump) with level None. A run for scripts takes its ending's reason
// from it.
class LogObserver {
 public:
  virtual void Observe(LogLevel level, const char* text) = 0;

 protected:
  ~LogObserver() = default;
};

// Process-wide logger settings, written only by the main thread while it starts up. The updater
// keeps the sink Stream and the colour mode Auto, so every log line goes to standard output,
// in colour exactly when standard output is a capable terminal.
struct LogSettings {
  int logLevel = static_cast<int>(LogLevel::Info);  // levels 1 to logLevel are written
  std::FILE* standardOutput = stdout;               // the process's standard output
  std::FILE* logStream = stdout;                    // where log text goes; null writes nothing
  LogSink logSink = LogSink::Stream;
  ColorMode colorMode = ColorMode::Auto;
  bool colorEnabled = false;  // computed by InitLogOutput
  LogObserver* observer = nullptr;
};

extern LogSettings logSettings;

// One levelled line: the 9-character level prefix, a blank, then the formatted message, which
// carries its own "\n" where it ends a line. A level outside 1..logLevel costs one comparison.
void Log(LogLevel level, const char* format, ...) NEVRIK_PRINTF(2, 3);

// Formatted text with no level check, prefix or colour.
void LogRaw(const char* format, ...) NEVRIK_PRINTF(1, 2);

// The bytes as lowercase hex, in pieces of at most 80 characters that run together; the caller
// ends the line.
void LogHexDump(const std::uint8_t* bytes, std::size_t length);

// Flushes the log stream, selects standard output again as the log stream and decides colour.
void InitLogOutput();

// Makes the terminal behind the log stream process escape sequences; false when it is no
// terminal or refuses.
bool EnableVirtualTerminal();

// The logger belongs to a run: for the object's lifetime it starts afresh with standardOutput
// as its standard output and log stream, and it is handed back as it was when the run ends.
class LogSettingsForRun {
 public:
  explicit LogSettingsForRun(std::FILE* standardOutput);
  ~LogSettingsForRun();
  LogSettingsForRun(const LogSettingsForRun&) = delete;
  LogSettingsForRun& operator=(const LogSettingsForRun&) = delete;

 private:
  LogSettings saved;
};

}  // namespace nevrik
