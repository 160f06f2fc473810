#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/firmware_pack.h"
#include "app/interrupt.h"
#include "secure/ephemeral_key_source.h"
#include "sim/sim_key.h"
#include "usb/kv_usb_enumerator.h"
#include "usb/usb_open_result.h"

namespace nevrik::test {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs the whole updater in-process, as a user would run the program, against simulated keys:
// the arguments (without the program name), what the user types, and the keys attached.
class UpdaterRun {
 public:
  std::shared_ptr<SimKey> AttachKey(SimKeyFirmwareConfig firmware = {}, SimKeyUsbConfig usb = {},
                                    UsbOpenResult openResult = UsbOpenResult::Opened);

  RunResult Run(const std::vector<std::wstring>& arguments = {}, const std::string& input = "");

  // The pack the run embeds; the updater's own by default.
  FirmwarePack pack{EmbeddedFirmwarePackData()};
  // Whether the pack counts as test data; as the updater's own pack by default.
  bool packIsTestData = EmbeddedFirmwarePackIsTestData();
  // What the user asks of the run while it goes; nothing by default.
  const Interruption* interruption = &NoInterruption();
  // How the run finds keys; the attached keys by default.
  std::function<std::unique_ptr<KvUsbEnumerator>()> makeEnumerator;
  // Where the handshake's host key pairs come from; the program's own source by default.
  EphemeralKeySource* keySource = &AutoSeededKeySource();

 private:
  struct AttachedKey {
    std::shared_ptr<SimKey> key;
    UsbOpenResult openResult;
  };
  std::vector<AttachedKey> keys;
};

// The commands that reached a key, in order.
std::vector<std::uint8_t> CommandsReceived(const SimKey& key);

}  // namespace nevrik::test
