#include "info/info_program.h"

#include <exception>
#include <optional>

#include "app/inaccessible_devices.h"
#include "app/log.h"
#include "app/options.h"
#include "app/update_procedure.h"
#include "app/updater.h"
#include "info/inventory_json.h"
#include "info/inventory_words.h"

namespace nevrik {

namespace {

constexpr const char* ProgramName = "nevrik-info";
constexpr int OptionJson = 0x10001;

const LongOption InfoLongOptions[] = {
    {L"help", ArgumentKind::None, 'h'},        {L"version", ArgumentKind::None, 'v'},
    {L"json", ArgumentKind::None, OptionJson}, {L"verbose", ArgumentKind::None, OptionVerbose},
    {nullptr, ArgumentKind::None, 0},
};
constexpr const wchar_t* InfoShortOptions = L"hv";

constexpr const char* Usage =
    "usage: nevrik-info [--json] [--verbose] [-h|--help] [-v|--version]\n"
    "Lists the attached NEVRIK keys, what they run and whether nevrik-update would update them,\n"
    "and the firmware that nevrik-update carries. Only reads: nothing on a key is changed.\n"
    "\n"
    "  --json         write one JSON document on standard output (see nevrik-info(1))\n"
    "  --verbose      add each key's USB details\n"
    "  -h, --help     show this text\n"
    "  -v, --version  show the version\n"
    "\n"
    "Exit codes: 0 every key was read; 2 a command-line error; 3 no key found, or a key could\n"
    "not be opened or reached; 6 the firmware pack is damaged; 7 a key's status could not be\n"
    "read.\n";

struct InfoSettings {
  bool json = false;
  bool verbose = false;
};

std::optional<ExitCode> ReadOptions(int count, const wchar_t* const* arguments,
                                    const UpdaterEnvironment& environment, InfoSettings& settings) {
  OptionParser parser;
  parser.errorStream = environment.streams.err;
  for (;;) {
    switch (NextOption(parser, count, arguments, InfoLongOptions, InfoShortOptions)) {
      case NoMoreOptions:
        return std::nullopt;
      case 'h':
        std::fputs(Usage, environment.streams.out);
        return ExitCode::ExitOk;
      case 'v':
        std::fprintf(environment.streams.out, "%s %s\n", ProgramName, UpdaterVersion);
        return ExitCode::ExitOk;
      case OptionJson:
        settings.json = true;
        break;
      case OptionVerbose:
        settings.verbose = true;
        break;
      default:
        return ExitCode::ExitBadOption;
    }
  }
}

ExitCode RunOptionsAndInventory(int count, const wchar_t* const* arguments,
                                const UpdaterEnvironment& environment) {
  InfoSettings settings;
  if (const std::optional<ExitCode> earlyExit =
          ReadOptions(count, arguments, environment, settings)) {
    return *earlyExit;
  }
  // Standard output carries the document alone: every log line goes to standard error.
  if (settings.json) {
    logSettings.standardOutput = environment.streams.err;
  }
  InitLogOutput();
  logSettings.logLevel = static_cast<int>(settings.verbose ? LogLevel::Verbose : LogLevel::Info);

  if (!ValidatePack(environment.pack)) {
    Log(LogLevel::Error, "This updater is broken!\n");
    return ExitCode::ExitBrokenUpdater;
  }
  const PackSummary pack = SummarisePack(environment.pack, environment.packIsTestData);
  const std::unique_ptr<KvUsbEnumerator> enumerator = environment.makeEnumerator();
  const std::vector<KeyRecord> keys =
      TakeInventory(*enumerator, settings.verbose, SystemTickSource(), *environment.keySource);

  if (settings.json) {
    std::fputs(InventoryJson(pack, keys).c_str(), environment.streams.out);
    std::fflush(environment.streams.out);
  } else {
    WriteInventoryWords(environment.streams.out, pack, keys, settings.verbose);
  }
  unsigned inaccessible = 0;
  for (const KeyRecord& key : keys) {
    inaccessible += key.access == KeyAccess::NoPermission ? 1 : 0;
  }
  WarnAboutInaccessibleDevices(inaccessible, ProgramName);
  return InventoryExitCode(keys);
}

}  // namespace

ExitCode RunInfo(int count, const wchar_t* const* arguments,
                 const UpdaterEnvironment& environment) {
  const LogSettingsForRun logForRun(environment.streams.out);
  try {
    return RunOptionsAndInventory(count, arguments, environment);
  } catch (const std::exception& failure) {
    ReportUnexpectedFailure(failure.what());
  } catch (...) {
    ReportUnexpectedFailure(nullptr);
  }
  return ExitCode::ExitNoDevice;
}

}  // namespace nevrik
