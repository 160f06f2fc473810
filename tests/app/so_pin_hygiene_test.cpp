// The SO PIN leaves no plain copy behind once the setup request has gone out.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <new>

#include "app/log.h"
#include "app/update_procedure.h"
#include "sim/sim_key.h"
#include "sim/sim_usb_enumerator.h"
#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

// The key behind a host that runs out of memory once the setup request has been written:
// forwards everything, and throws std::bad_alloc from the setup frame's first packet.
class OutOfMemoryAtSetup final : public SimUsbFunction {
 public:
  explicit OutOfMemoryAtSetup(std::shared_ptr<SimKey> key) : key(std::move(key)) {}
  std::vector<std::uint8_t> DeviceDescriptor() const override { return key->DeviceDescriptor(); }
  std::vector<std::uint8_t> ConfigurationDescriptor() const override {
    return key->ConfigurationDescriptor();
  }
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override {
    return key->Control(setup, outData);
  }
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
    constexpr std::uint8_t SecureSetup = CmdSetup | 0x80;
    // A frame's first packet starts with the magic; checking it keeps a handshake packet
    // whose random byte 5 happens to match from being taken for the setup.
    const bool frameStart = packet.size() >= 8 && packet[0] == 'N' && packet[1] == 'V' &&
                            packet[2] == 'K' && packet[3] == 'W';
    if (frameStart && packet[5] == SecureSetup) {
      throw std::bad_alloc();
    }
    return key->OutPacket(endpoint, packet);
  }
  UsbInPacket InPacket(std::uint8_t endpoint) override { return key->InPacket(endpoint); }

 private:
  std::shared_ptr<SimKey> key;
};

class SoPinHygiene : public ::testing::Test {
 protected:
  SoPinHygiene() : savedLog(logSettings) {
    logSettings.standardOutput = out.File();
    logSettings.logStream = out.File();
    SimKeyFirmwareConfig config;
    config.soPin = std::vector<std::uint8_t>{'4', '7', '1', '1'};
    key = std::make_shared<SimKey>(SimKeyUsbConfig{}, config);
    session = SessionOn(key);
    environment.streams = {stdin, out.File(), out.File()};
  }
  ~SoPinHygiene() override { logSettings = savedLog; }

  static std::unique_ptr<DeviceSession> SessionOn(std::shared_ptr<SimUsbFunction> function) {
    SimUsbEnumerator enumerator;
    enumerator.Attach(std::move(function));
    enumerator.Enumerate();
    return DeviceSession::Create(enumerator);
  }

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

TEST_F(SoPinHygiene, PinIsWipedWhenSendingTheSetupThrows) {
  session = SessionOn(std::make_shared<OutOfMemoryAtSetup>(key));
  ASSERT_TRUE(session && session->Synchronize());
  SecretBytes pin{'4', '7', '1', '1'};
  EXPECT_THROW(WriteAndDeployFirmware(*session, pin, environment), std::bad_alloc);
  EXPECT_TRUE(pin.empty());
  EXPECT_TRUE(PayloadAreaIsZero(12 + 4));
}

}  // namespace
}  // namespace nevrik
