#include "app/updater.h"

#include <exception>
#include <memory>
#include <new>
#include <optional>

#include "app/key_selection.h"
#include "app/log.h"
#include "app/options.h"
#include "app/so_pin_descriptor.h"
#include "app/terminal.h"
#include "app/update_procedure.h"

namespace nevrik {

namespace {

constexpr const char* CopyrightNotice =
    "Copyright (C) 2026 The nevrik-update developers. All rights reserved.";

struct RunSettings {
  bool force = false;
  bool confirmed = false;              // --yes
  std::optional<int> soPinDescriptor;  // --so-pin-fd; the last one given counts
  std::optional<std::wstring> device;  // --device; the last one given counts
};

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
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
      case OptionYes:
        settings.confirmed = true;
        break;
      case OptionSoPinFd:
        settings.soPinDescriptor = SoPinDescriptor(parser.optionArgument, environment.streams.err);
        if (!settings.soPinDescriptor) {
          return ExitCode::ExitBadOption;
        }
        break;
      case OptionDevice:
        settings.device = DeviceSelector(parser.optionArgument, environment.streams.err);
        if (!settings.device) {
          return ExitCode::ExitBadOption;
        }
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
  // Closed at the end of the run, however it ends.
  std::unique_ptr<std::FILE, StreamCloser> soPinInput;
  if (settings.soPinDescriptor) {
    soPinInput.reset(OpenSoPinDescriptor(*settings.soPinDescriptor));
    if (!soPinInput) {
      throw std::bad_alloc();  // the descriptor was checked: only the stream's memory can lack
    }
  }
  UpdaterEnvironment run = environment;
  run.answers = {settings.confirmed, soPinInput.get()};
  run.deviceSelector = settings.device;

  PrintBanner(run.streams.out);

  if (!ValidatePack(run.pack)) {
    Log(LogLevel::Error, "This updater is broken!\n");
    return ExitCode::ExitBrokenUpdater;
  }

  return RunDeviceStage(settings.force, run);
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
