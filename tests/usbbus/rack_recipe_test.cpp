// The rack recipe of docs/fleet.md, taken from the document as it stands and run by bash with the
// shipped programs against simulated keys on the emulated bus in this process: every key that
// can be updated is, every other is left as it was, and the summary and exit code are exact. Each
// key's own record says which requests reached it.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_key.h"
#include "tests/support/captured_file.h"
#include "tests/support/document_block.h"
#include "tests/support/key_requests.h"
#include "tests/support/program_under_test.h"
#include "usbbus/emulated_usb_bus.h"
#include "usbbus/key_cable.h"
#include "usbbus/supervised_command.h"
#include "usbbus/unique_fd.h"

namespace nevrik::test {
namespace {

using usbbus::EmulatedUsbBus;

struct RackKey {
  std::string serial;
  int major;
  int minor;
  const char* soPin;  // null: none
  bool locked = false;
  bool held = false;  // by another program
  std::optional<unsigned> unplugAfterWrites;
  // Expected:
  bool updated;
  Commands commands;  // what reached the key
};

// Keys on a bus, the recipe and its files in a folder of their own, the programs on PATH.
class RackRecipeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(recipe.empty()) << "no bash block after the marker in docs/fleet.md";
    char name[] = "/tmp/nevrik-rack-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    folder = name;
    std::ofstream(folder + "/nevrik-rack") << recipe;
    const std::string updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);
    const std::string info = ProgramUnderTest(NEVRIK_INFO_PATH);
    const char* path = std::getenv("PATH");
    setenv("PATH",
           (updater.substr(0, updater.rfind('/')) + ":" + info.substr(0, info.rfind('/')) + ":" +
            (path != nullptr ? path : "/usr/bin:/bin"))
               .c_str(),
           1);
  }

  void TearDown() override { std::system(("rm -rf " + folder).c_str()); }

  void Plug(const std::vector<RackKey>& rack) {
    for (const RackKey& plan : rack) {
      SimKeyUsbConfig usb;
      usb.serialNumber = plan.serial;
      SimKeyFirmwareConfig firmware;
      firmware.serialNumber = plan.serial;
      firmware.firmwareMajor = static_cast<std::uint8_t>(plan.major);
      firmware.firmwareMinor = static_cast<std::uint8_t>(plan.minor);
      if (plan.soPin != nullptr) {
        firmware.soPin =
            std::vector<std::uint8_t>(plan.soPin, plan.soPin + std::strlen(plan.soPin));
      }
      firmware.soPinLocked = plan.locked;
      keys.push_back(std::make_shared<SimKey>(usb, firmware));
      usbbus::KeyCableSettings settings;
      settings.unplugAfterWrites = plan.unplugAfterWrites;
      const int signal = pullSignal.Get();
      cables.push_back(std::make_shared<usbbus::KeyCable>(keys.back(), settings, [signal] {
        const std::uint64_t one = 1;
        EXPECT_EQ(write(signal, &one, sizeof one), static_cast<ssize_t>(sizeof one));
      }));
      ids.push_back(bus.Plug(cables.back()));
      if (plan.held) {
        bus.SetClaimedElsewhere(ids.back(), 0, true);
      }
    }
  }

  // Runs the recipe with these arguments and this standard input; its exit code.
  int Run(const std::vector<std::string>& arguments, const std::string& input) {
    std::vector<std::string> command = {"/bin/bash", folder + "/nevrik-rack"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const CapturedFile in(input);
    usbbus::Supervision supervision;
    supervision.pullSignal = pullSignal.Get();
    supervision.unplugPulled = [this] {
      for (std::size_t i = 0; i < cables.size(); ++i) {
        if (cables[i]->Pulled()) {
          bus.Unplug(ids[i]);
        }
      }
    };
    return usbbus::RunSupervised(
        bus, command, {std::nullopt, fileno(out.File()), fileno(errors.File()), fileno(in.File())},
        supervision);
  }

  void ExpectKeys(const std::vector<RackKey>& rack) {
    for (std::size_t i = 0; i < rack.size(); ++i) {
      SCOPED_TRACE(rack[i].serial);
      const SimKeyFirmwareConfig& state = keys[i]->Firmware().State();
      EXPECT_EQ(state.firmwareMajor, rack[i].updated ? 2 : rack[i].major);
      EXPECT_EQ(state.firmwareMinor, rack[i].updated ? 0 : rack[i].minor);
      const auto& update = keys[i]->Firmware().LatestUpdate();
      EXPECT_EQ(update && update->installed, rack[i].updated);
      EXPECT_EQ(state.soPinLocked, rack[i].locked);
      Commands received;
      for (const KeyRequestRecord& request : keys[i]->Firmware().Requests()) {
        received.push_back(request.command);
      }
      EXPECT_EQ(received, rack[i].commands);
    }
  }

  const std::string recipe = RackRecipe();
  std::string folder;
  EmulatedUsbBus bus;
  usbbus::UniqueFd pullSignal{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::vector<std::shared_ptr<SimKey>> keys;
  std::vector<std::shared_ptr<usbbus::KeyCable>> cables;
  std::vector<EmulatedUsbBus::DeviceId> ids;
  const CapturedFile out;
  const CapturedFile errors;
};

// The eight keys of the document, the SO PIN given once on standard input.
TEST_F(RackRecipeRun, UpdatesEveryKeyItCanAndSummarisesEachExactly) {
  const std::vector<RackKey> rack = {
      {"NVKSIM0000000001", 1, 5, "1234", false, false, {}, true, Then(StatusRead, WholeUpdate())},
      {"NVKSIM0000000002", 1, 0, nullptr, false, false, {}, true, Then(StatusRead, WholeUpdate())},
      {"NVKSIM0000000003", 2, 0, "1234", false, false, {}, false, StatusRead},
      {"NVKSIM0000000004", 1, 5, "1234", true, false, {}, false, Then(StatusRead, StatusRead)},
      {"NVKSIM0000000005", 1, 5, "1234", false, true, {}, false, {}},
      {"NVKSIM0000000006", 1, 5, "1234", false, false, 3, false,
       Then(StatusRead,
            {CmdQuery, CmdQuery, CmdHandshake, CmdSetup, CmdWrite, CmdWrite, CmdWrite})},
      {"NVKSIM0000000007", 1, 5, "5678", false, false, {}, false, Then(StatusRead, RefusedPin)},
      {"NVKSIM0000000008", 1, 5, "1234", false, false, {}, true, Then(StatusRead, WholeUpdate())},
  };
  Plug(rack);
  EXPECT_EQ(Run({}, "1234\n"), 1);
  EXPECT_EQ(out.Text(),
            "NVKSIM0000000001     1.5    2.0    updated\n"
            "NVKSIM0000000002     1.0    2.0    updated\n"
            "NVKSIM0000000003     2.0    2.0    not-needed\n"
            "NVKSIM0000000004     1.5    1.5    so-pin-locked\n"
            "NVKSIM0000000005     -      -      in-use\n"
            "NVKSIM0000000006     1.5    1.5    failed\n"
            "NVKSIM0000000007     1.5    1.5    incorrect-so-pin\n"
            "NVKSIM0000000008     1.5    2.0    updated\n");
  EXPECT_EQ(errors.Text().find("1234"), std::string::npos) << errors.Text();
  ExpectKeys(rack);
}

// A PIN per key from a file of the owner's alone, one of them for every key not named; exit 0
// once every key is at the updater's version.
TEST_F(RackRecipeRun, TakesEachKeysPinFromAPrivateFile) {
  const std::vector<RackKey> rack = {
      {"NVK-A", 1, 5, "1111", false, false, {}, true, Then(StatusRead, WholeUpdate())},
      {"NVK-B", 1, 5, "2 2", false, false, {}, true, Then(StatusRead, WholeUpdate())},
      {"NVK-C", 1, 5, "3333", false, false, {}, true, Then(StatusRead, WholeUpdate())},
      {"NVK-D", 2, 0, nullptr, false, false, {}, false, StatusRead},
  };
  Plug(rack);
  const std::string pins = folder + "/rack.pins";
  std::ofstream(pins) << "# the rack\r\nNVK-A 1111\r\n\r\n* 3333\r\nNVK-B 2 2\r\n";
  ASSERT_EQ(chmod(pins.c_str(), 0600), 0);
  EXPECT_EQ(Run({pins}, ""), 0);
  EXPECT_EQ(out.Text(),
            "NVK-A                1.5    2.0    updated\n"
            "NVK-B                1.5    2.0    updated\n"
            "NVK-C                1.5    2.0    updated\n"
            "NVK-D                2.0    2.0    not-needed\n");
  ExpectKeys(rack);
}

// A PIN file that others may read is refused before any key is asked anything.
TEST_F(RackRecipeRun, RefusesAPinFileOthersCanRead) {
  const std::vector<RackKey> rack = {{"NVK-A", 1, 5, "1111", false, false, {}, false, {}}};
  Plug(rack);
  const std::string pins = folder + "/rack.pins";
  std::ofstream(pins) << "* 1111\n";
  ASSERT_EQ(chmod(pins.c_str(), 0640), 0);
  EXPECT_EQ(Run({pins}, ""), 2);
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(errors.Text(), "nevrik-rack: " + pins +
                               " must be yours and readable by you alone (chmod 600 " + pins +
                               ")\n");
  ExpectKeys(rack);
}

}  // namespace
}  // namespace nevrik::test
