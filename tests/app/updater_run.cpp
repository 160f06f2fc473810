#include "tests/app/updater_run.h"

#include "app/updater.h"
#include "sim/sim_usb_enumerator.h"
#include "tests/support/captured_file.h"

namespace nevrik::test {

std::shared_ptr<SimKey> UpdaterRun::AttachKey(SimKeyFirmwareConfig firmware, SimKeyUsbConfig usb,
                                              UsbOpenResult openResult) {
  keys.push_back({std::make_shared<SimKey>(std::move(usb), std::move(firmware)), openResult});
  return keys.back().key;
}

RunResult UpdaterRun::Run(const std::vector<std::wstring>& arguments, const std::string& input) {
  const CapturedFile in(input);
  const CapturedFile out;
  const CapturedFile err;

  UpdaterEnvironment environment;
  environment.streams = {in.File(), out.File(), err.File()};
  environment.pack = pack;
  environment.packIsTestData = packIsTestData;
  environment.interruption = interruption;
  environment.keySource = keySource;
  environment.makeEnumerator = makeEnumerator ? makeEnumerator : [this] {
    auto enumerator = std::make_unique<SimUsbEnumerator>();
    for (const AttachedKey& attached : keys) {
      enumerator->Attach(attached.key, attached.openResult);
    }
    return enumerator;
  };

  std::vector<const wchar_t*> argv{L"nevrik-update"};
  for (const std::wstring& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);

  RunResult result;
  result.exitCode =
      static_cast<int>(RunUpdater(static_cast<int>(argv.size() - 1), argv.data(), environment));
  result.out = out.Text();
  result.err = err.Text();
  return result;
}

std::vector<std::uint8_t> CommandsReceived(const SimKey& key) {
  std::vector<std::uint8_t> commands;
  for (const KeyRequestRecord& request : key.Firmware().Requests()) {
    commands.push_back(request.command);
  }
  return commands;
}

}  // namespace nevrik::test
