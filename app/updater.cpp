#include "app/updater.h"

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

// Reads the options left to right into settings. Gives the exit code when the run ends here
// (help, version or an error), nothing when the run goes on.
std::optional<ExitCode> ReadOptions(int count, const wchar_t* const* arguments,
                                    const UpdaterEnvironment& environment, RunSettings& settings) {
  OptionParser parser;
  parser.errorStream = environment.streams.err;
  for (;;) {
    switch (NextOption(parser, count, arguments, LongOptions, ShortOptions)) {
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
