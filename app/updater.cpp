#include "app/updater.h"

#include <cwchar>
#include <exception>
#include <optional>

#include "app/log.h"
#include "app/options.h"
#include "app/terminal.h"
#include "app/update_procedure.h"

namespace nevrik {

namespace {

constexpr const char* CopyrightNotice =
    "Copyright (C) 2026 The nevrik-update developers. All rights reserved.";

struct RunSettings {
  bool force = false;
};

// The argument after the current one, when there is one and it is not an option itself.
const wchar_t* NextArgument(int count, const wchar_t* const* arguments, int index) {
  if (index + 1 >= count) {
    return nullptr;
  }
  const wchar_t* next = arguments[index + 1];
  return next != nullptr && next[0] != L'-' ? next : nullptr;
}

// Reads the options left to right into settings. Gives the exit code when the run ends here
// (help, version or an error), nothing when the run goes on.
std::optional<ExitCode> ReadOptions(int count, const wchar_t* const* arguments,
                                    const UpdaterEnvironment& environment, RunSettings& settings) {
  OptionParser parser;
  parser.errorStream = environment.streams.err;
  for (;;) {
    const int index = parser.nextIndex;
    if (index >= count || arguments[index] == nullptr) {
      return std::nullopt;
    }
    const wchar_t* argument = arguments[index];
    const wchar_t* next = NextArgument(count, arguments, index);

    int option = NoMoreOptions;
    if (std::wcscmp(argument, L"--") == 0) {
      ++parser.nextIndex;
      return std::nullopt;
    }
    if (argument[0] == L'-' && argument[1] == L'-') {
      option = ParseLongOption(parser, argument + 2, next, LongOptions, true);
    } else {
      option = ParseShortOption(parser, argument, next);
    }

    switch (option) {
      case NoMoreOptions:
        return std::nullopt;
      case 'f':
        settings.force = true;
        break;
      case 'h':
      case 'v':
        PrintBanner(environment.streams.out);
        return ExitCode::ExitOk;
      case OptionVerbose:
        InitLogOutput();
        logSettings.logLevel = static_cast<int>(LogLevel::Verbose);
        break;
      default:
        return ExitCode::ExitBadOption;
    }
  }
}

// The logger belongs to the run: it starts on the run's standard output and is handed back as
// it was when the run ends.
class LogSettingsForRun {
 public:
  explicit LogSettingsForRun(std::FILE* standardOutput) : saved(logSettings) {
    logSettings = LogSettings{};
    logSettings.standardOutput = standardOutput;
    logSettings.logStream = standardOutput;
  }
  ~LogSettingsForRun() {
    std::fflush(logSettings.logStream);
    logSettings = saved;
  }
  LogSettingsForRun(const LogSettingsForRun&) = delete;
  LogSettingsForRun& operator=(const LogSettingsForRun&) = delete;

 private:
  LogSettings saved;
};

ExitCode RunOptionsBannerAndDeviceStage(int count, const wchar_t* const* arguments,
                                        const UpdaterEnvironment& environment) {
  InitLogOutput();
  logSettings.logLevel = static_cast<int>(LogLevel::Info);

  RunSettings settings;
  if (const std::optional<ExitCode> earlyExit =
          ReadOptions(count, arguments, environment, settings)) {
    return *earlyExit;
  }

  PrintBanner(environment.streams.out);

  if (!ValidatePack(environment.pack)) {
    Log(LogLevel::Error, "This updater is broken!\n");
    return ExitCode::ExitBrokenUpdater;
  }

  return RunDeviceStage(settings.force, environment);
}

// The last resort for an exception that no step caught: the terminal back as it was, one line
// that says what happened, and the code of an update that was not done. Steps from the secure
// channel on catch their own and cancel on the key, so nothing here talks to it.
ExitCode EndAfterUnexpectedFailure(const char* what, const UpdaterEnvironment& environment) {
  RestoreEcho();
  ReportUnexpectedFailure(what);
  std::fprintf(environment.streams.out, "Update canceled.\n");
  std::fflush(environment.streams.out);
  return ExitCode::ExitCanceled;
}

}  // namespace

void PrintBanner(std::FILE* out) {
  std::fprintf(out, "NEVRIK firmware ver.%u.%u updater (%s)\n%s\n\n", TargetVersion.versionMajor,
               TargetVersion.versionMinor, UpdaterVersion, CopyrightNotice);
  std::fflush(out);
}

ExitCode RunUpdater(int count, const wchar_t* const* arguments,
                    const UpdaterEnvironment& environment) {
  const LogSettingsForRun logForRun(environment.streams.out);
  try {
    return RunOptionsBannerAndDeviceStage(count, arguments, environment);
  } catch (const std::exception& failure) {
    return EndAfterUnexpectedFailure(failure.what(), environment);
  } catch (...) {
    return EndAfterUnexpectedFailure(nullptr, environment);
  }
}

}  // namespace nevrik
