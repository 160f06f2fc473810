// The SO PIN leaves no plain copy behind once the setup request has gone out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "app/log.h"
#include "app/update_procedure.h"
#include "sim/sim_key.h"
#include "sim/sim_usb_enumerator.h"
#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

class SoPinHygiene : public ::testing::Test {
 protected:
  SoPinHygiene() : savedLog(logSettings) {
    logSettings.standardOutput = out.File();
    logSettings.logStream = out.File();
    SimKeyFirmwareConfig config;
    config.soPin = std::vector<std::uint8_t>{'4', '7', '1', '1'};
    key = std::make_shared<SimKey>(SimKeyUsbConfig{}, config);
    SimUsbEnumerator enumerator;
    enumerator.Attach(key);
    enumerator.Enumerate();
    session = DeviceSession::Create(enumerator);
    environment.streams = {stdin, out.File(), out.File()};
  }
  ~SoPinHygiene() override { logSettings = savedLog; }

  bool PayloadAreaIsZero(std::size_t length) {
    const std::uint8_t* area = session->PreparePayload(static_cast<std::uint32_t>(length));
    return std::all_of(area, area + length, [](std::uint8_t byte) { return byte == 0; });
  }

  LogSettings savedLog;
  CapturedFile out;
  std::shared_ptr<SimKey> key;
  std::unique_ptr<DeviceSession> session;
  UpdaterEnvironment environment;
};

TEST_F(SoPinHygiene, PinIsWipedOnceTheSetupHasGoneOut) {
  ASSERT_TRUE(session && session->Synchronize());
  SecretBytes pin{'4', '7', '1', '1'};
  EXPECT_EQ(WriteAndDeployFirmware(*session, pin, environment), UpdateOutcome::Deployed);
  EXPECT_TRUE(pin.empty());
  EXPECT_EQ(out.Text().find("4711"), std::string::npos);
  // The key did receive the PIN, after the 12 setup parameters.
  const auto& requests = key->Firmware().Requests();
  const auto setup = std::find_if(requests.begin(), requests.end(),
                                  [](const auto& request) { return request.command == CmdSetup; });
  ASSERT_NE(setup, requests.end());
  EXPECT_EQ(std::vector<std::uint8_t>(setup->payload.begin() + 12, setup->payload.end()),
            (std::vector<std::uint8_t>{'4', '7', '1', '1'}));
}

TEST_F(SoPinHygiene, PinIsWipedWhenTheKeyRefusesIt) {
  ASSERT_TRUE(session && session->Synchronize());
  SecretBytes pin{'1', '2', '3', '4'};
  EXPECT_EQ(WriteAndDeployFirmware(*session, pin, environment), UpdateOutcome::Failed);
  EXPECT_TRUE(pin.empty());
  EXPECT_TRUE(PayloadAreaIsZero(12 + 4));
  EXPECT_EQ(out.Text(), "[ERROR  ] Incorrect SO PIN.\n");
}

}  // namespace
}  // namespace nevrik
