#include "info/info_program.h"

#include <exception>
#include <optional>

#include "app/inaccessible_devices.h"
#include "app/key_selection.h"
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
    {L"help", ArgumentKind::None, 'h'},
    {L"version", ArgumentKind::None, 'v'},
    {L"json", ArgumentKind::None, OptionJson},
    {L"verbose", ArgumentKind::None, OptionVerbose},
    {L"device", ArgumentKind::Required, OptionDevice},
    {nullptr, ArgumentKind::None, 0},
};
constexpr const wchar_t* InfoShortOptions = L"hv";

constexpr const char* Usage =
    "usage: nevrik-info [--device=SELECTOR] [--json] [--verbose] [-h|--help] [-v|--version]\n"
    "Lists the attached NEVRIK keys, what they run and whether nevrik-update would update them,\n"
    "and the firmware that nevrik-update carries. Only reads: nothing on a key is changed.\n"
    "\n"
    "  --device=SELECTOR  list only the key with this serial number, location or path, as\n"
    "                     listed without it; no other key is opened\n"
    "  --json             write one JSON document on standard output (see nevrik-info(1))\n"
    "  --verbose          add each key's USB details\n"
    "  -h, --help         show this text\n"
    "  -v, --version      show the version\n"
    "\n"
    "Exit codes: 0 every key was read; 2 a command-line error; 3 no key found, none or several\n"
    "matching --device, or a key could not be opened or reached; 4 standard output could not be\n"
    "written entirely, or an unexpected failure; 6 the firmware pack is damaged; 7 a key's\n"
    "status could not be read.\n";

// Whatever else happened, a run whose output is incomplete, and one that failed in a way no step
// expected, must not read as success, nor as "no key".
constexpr ExitCode ExitFailed = ExitCode::ExitCanceled;

struct InfoSettings {
  bool json = false;
  bool verbose = false;
  std::optional<std::wstring> device;  // --device; the last one given counts
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
  enumerator->Enumerate();
  const KeySelection selection = SelectKey(ListedIdentities(*enumerator), settings.device);
  const Inventory inventory = ReadListedKeys(*enumerator, selection.matches, settings.verbose,
                                             SystemTickSource(), *environment.keySource);

  if (settings.json) {
    std::fputs(InventoryJson(pack, inventory).c_str(), environment.streams.out);
    std::fflush(environment.streams.out);
  } else {
    WriteInventoryWords(environment.streams.out, pack, inventory, settings.verbose);
  }
  if (settings.device) {
    WarnAboutSelector(selection, *settings.device);
  }
  WarnAboutInaccessibleDevices(static_cast<unsigned>(inventory.uninspected.size()), ProgramName);
  // Several keys matching one selector are listed, but a script naming one key gets no success.
  return selection.choice == KeyChoice::SeveralMatched ? ExitCode::ExitNoDevice
                                                       : InventoryExitCode(inventory.keys);
}

ExitCode GuardedRun(int count, const wchar_t* const* arguments,
                    const UpdaterEnvironment& environment) {
  try {
    return RunOptionsAndInventory(count, arguments, environment);
  } catch (const std::exception& failure) {
    ReportUnexpectedFailure(failure.what());
  } catch (...) {
    ReportUnexpectedFailure(nullptr);
  }
  return ExitFailed;
}

// Everything written to out has reached it: a full disk or a closed pipe loses text quietly
// until the buffer is flushed.
bool WrittenEntirely(std::FILE* out) {
  const bool flushed = std::fflush(out) == 0;
  return flushed && std::ferror(out) == 0;
}

}  // namespace

ExitCode RunInfo(int count, const wchar_t* const* arguments,
                 const UpdaterEnvironment& environment) {
  const LogSettingsForRun logForRun(environment.streams.out);
  const ExitCode exitCode = GuardedRun(count, arguments, environment);
  if (!WrittenEntirely(environment.streams.out)) {
    // Said where it can still be read.
    logSettings.standardOutput = environment.streams.err;
    InitLogOutput();
    Log(LogLevel::Error, "Standard output could not be written entirely.\n");
    return ExitFailed;
  }
  return exitCode;
}

}  // namespace nevrik
