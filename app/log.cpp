#include "app/log.h"

#include <cstdarg>
#include <cstring>
#include <memory>

#include "app/terminal.h"

namespace nevrik {

LogSettings logSettings;

namespace {

constexpr std::size_t PrefixLength = 9;
constexpr const char* ResetSequence = "\x1b[m";

struct LevelStyle {
  const char* prefix;
  const char* color;
};

constexpr LevelStyle LevelStyles[] = {
    {"[NONE   ]", "\x1b[35m"}, {"[ERROR  ]", "\x1b[31m"}, {"[WARN   ]", "\x1b[33m"},
    {"[INFO   ]", "\x1b[m"},   {"[VERBOSE]", "\x1b[m"},
};

void WriteText(const char* text) {
  switch (logSettings.logSink) {
    case LogSink::Stream:
      if (logSettings.logStream != nullptr) {
        std::fprintf(logSettings.logStream, "%s", text);
      }
      break;
    case LogSink::Debugger:
      WriteToDebugger(text);
      break;
    case LogSink::StreamAndStdout:
      if (logSettings.logStream != nullptr && logSettings.logStream != logSettings.standardOutput) {
        std::fprintf(logSettings.logStream, "%s", text);
      }
      std::fprintf(logSettings.standardOutput, "%s", text);
      break;
  }
}

void WriteColor(const char* sequence) {
  switch (logSettings.logSink) {
    case LogSink::Stream:
      if (logSettings.logStream != nullptr) {
        std::fprintf(logSettings.logStream, "%s", sequence);
      }
      break;
    case LogSink::StreamAndStdout:
      std::fprintf(logSettings.standardOutput, "%s", sequence);
      break;
    case LogSink::Debugger:
      break;
  }
}

int MeasureFormatted(const char* format, va_list arguments) {
  va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  return length < 0 ? 0 : length;
}

}  // namespace

void Log(LogLevel level, const char* format, ...) {
  const int levelValue = static_cast<int>(level);
  if (levelValue < 1 || levelValue > logSettings.logLevel) {
    return;
  }
  const LevelStyle& style = LevelStyles[levelValue];

  va_list arguments;
  va_start(arguments, format);
  const std::size_t messageLength = static_cast<std::size_t>(MeasureFormatted(format, arguments));
  const std::size_t size = PrefixLength + 1 + messageLength + 1;
  const std::unique_ptr<char[]> line(new char[size]);
  std::memcpy(line.get(), style.prefix, PrefixLength);
  line[PrefixLength] = ' ';
  line[PrefixLength + 1] = '\0';
  std::vsnprintf(line.get() + PrefixLength + 1, messageLength + 1, format, arguments);
  va_end(arguments);

  if (logSettings.observer != nullptr) {
    logSettings.observer->Observe(level, line.get() + PrefixLength + 1);
  }
  if (logSettings.colorEnabled) {
    WriteColor(style.color);
  }
  WriteText(line.get());
  if (logSettings.colorEnabled) {
    WriteColor(ResetSequence);
  }
}

void LogRaw(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = MeasureFormatted(format, arguments);
  if (length > 0) {
    const std::unique_ptr<char[]> text(new char[static_cast<std::size_t>(length) + 1]);
    std::vsnprintf(text.get(), static_cast<std::size_t>(length) + 1, format, arguments);
    if (logSettings.observer != nullptr) {
      logSettings.observer->Observe(LogLevel::None, text.get());
    }
    WriteText(text.get());
  }
  va_end(arguments);
}

void LogHexDump(const std::uint8_t* bytes, std::size_t length) {
  constexpr std::size_t BytesPerPiece = 40;
  constexpr char Digits[] = "0123456789abcdef";
  char piece[BytesPerPiece * 2 + 1];
  for (std::size_t offset = 0; offset < length; offset += BytesPerPiece) {
    const std::size_t count = length - offset < BytesPerPiece ? length - offset : BytesPerPiece;
    for (std::size_t i = 0; i < count; ++i) {
      piece[2 * i] = Digits[bytes[offset + i] >> 4];
      piece[2 * i + 1] = Digits[bytes[offset + i] & 0x0F];
    }
    piece[2 * count] = '\0';
    if (logSettings.observer != nullptr) {
      logSettings.observer->Observe(LogLevel::None, piece);
    }
    WriteText(piece);
  }
}

void InitLogOutput() {
  if (logSettings.logStream != nullptr) {
    std::fflush(logSettings.logStream);
  }
  logSettings.logStream = logSettings.standardOutput;
  logSettings.colorEnabled = false;

  const bool always = logSettings.colorMode == ColorMode::Always;
  const bool automatic = logSettings.colorMode == ColorMode::Auto;
  switch (logSettings.logSink) {
    case LogSink::Stream:
      logSettings.colorEnabled =
          always || (automatic && logSettings.logStream != nullptr &&
                     IsTerminal(logSettings.logStream) && EnableVirtualTerminal());
      break;
    case LogSink::StreamAndStdout:
      logSettings.colorEnabled = always || (automatic && EnableVirtualTerminal());
      break;
    case LogSink::Debugger:
      break;
  }
}

bool EnableVirtualTerminal() {
  if (logSettings.logStream == nullptr) {
    return false;
  }
  return EnableEscapeSequences(logSettings.logStream, logSettings.standardOutput);
}

LogSettingsForRun::LogSettingsForRun(std::FILE* standardOutput) : saved(logSettings) {
  logSettings = LogSettings{};
  logSettings.standardOutput = standardOutput;
  logSettings.logStream = standardOutput;
}

LogSettingsForRun::~LogSettingsForRun() {
  std::fflush(logSettings.logStream);
  logSettings = saved;
}

}  // namespace nevrik
