#include "app/updater.h"

#include <exception>
#include <memory>
#include <new>
#include <optional>

#include "app/json_run_record.h"
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
  bool json = false;                   // --json
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
      case OptionJson:
        settings.json = true;
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

// A run for scripts keeps standard output for its record: everything a person reads, the log
// too, goes to standard error instead, so that a log of it keeps the whole transcript.
void StartRecord(std::optional<JsonRunRecord>& record, UpdaterEnvironment& run) {
  record.emplace(run.streams.out, run.pack);
  run.record = &*record;
  run.streams.out = run.streams.err;
  logSettings.standardOutput = run.streams.err;
  InitLogOutput();
  logSettings.observer = &*record;
}

ExitCode RunOptionsBannerAndDeviceStage(int count, const wchar_t* const* arguments,
                                        const UpdaterEnvironment& environment,
                                        std::optional<JsonRunRecord>& record) {
  InitLogOutput();
  logSettings.logLevel = static_cast<int>(LogLevel::Info);

  RunSettings settings;
  if (const std::optional<ExitCode> earlyExit =
          ReadOptions(count, arguments, environment, settings)) {
    return *earlyExit;
  }
  // A run for scripts never waits for an answer that no one may be there to give.
  if (settings.json && !settings.confirmed) {
    std::fprintf(environment.streams.err, "option --json needs --yes\n");
    return ExitCode::ExitBadOption;
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
  if (settings.json) {
    StartRecord(record, run);
  }
  run.deviceSelector = settings.device;

  PrintBanner(run.streams.out);

  if (!ValidatePack(run.pack)) {
    run.record->Ended(RunOutcome::BrokenPack);
    Log(LogLevel::Error, "This updater is broken!\n");
    return ExitCode::ExitBrokenUpdater;
  }

  return RunDeviceStage(settings.force, run);
}

// The last resort for an exception that no step caught: the terminal back as it was, one line
// that says what happened, and the code of an update that was not done. Steps from the secure
// channel on catch their own and cancel on the key, so nothing here talks to it.
ExitCode EndAfterUnexpectedFailure(const char* what, const UpdaterEnvironment& environment,
                                   std::optional<JsonRunRecord>& record) {
  RestoreEcho();
  if (record) {
    record->FailedUnexpectedly();
  }
  ReportUnexpectedFailure(what);
  std::FILE* out = record ? environment.streams.err : environment.streams.out;
  std::fprintf(out, "Update canceled.\n");
  std::fflush(out);
  return ExitCode::ExitCanceled;
}

// The record's last line, however the run ended. Memory lacking even for that line leaves the
// record without it: the exit code still tells the outcome.
ExitCode EndRecord(std::optional<JsonRunRecord>& record, ExitCode exitCode) {
  if (record) {
    try {
      record->WriteResult(exitCode);
    } catch (...) {
    }
  }
  return exitCode;
}

}  // namespace

void PrintBanner(std::FILE* out) {
  std::fprintf(out, "NEVRIK firmware ver.%u.%u updater (%s)\n%s\n\n", TargetVersion.versionMajor,
               TargetVersion.versionMinor, UpdaterVersion, CopyrightNotice);
  std::fflush(out);
}

ExitCode RunUpdater(int count, const wchar_t* const* arguments,
                    const UpdaterEnvironment& environment) {
  std::optional<JsonRunRecord> record;  // for --json; outlives the logger's run, which observes it
  const LogSettingsForRun logForRun(environment.streams.out);
  try {
    return EndRecord(record, RunOptionsBannerAndDeviceStage(count, arguments, environment, record));
  } catch (const std::exception& failure) {
    return EndRecord(record, EndAfterUnexpectedFailure(failure.what(), environment, record));
  } catch (...) {
    return EndRecord(record, EndAfterUnexpectedFailure(nullptr, environment, record));
  }
}

}  // namespace nevrik
