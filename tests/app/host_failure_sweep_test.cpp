// Whole updates in which one of the host's own operations fails: a clean run counts them, then
// one run per operation fails exactly that one, every heap allocation in turn and every Crypto++
// call in turn. The updater runs in-process as a user would start it, against a simulated key
// whose own work never fails, with its input on a pseudo-terminal. Every run must end in a
// documented exit code with at most one cancel request, no deploy after the failure unless the
// update went through, echo back on and no heap block given back with the SO PIN in it; the
// sanitizer build adds LeakSanitizer's verdict over all of them. NEVRIK_SWEEP_FROM=<n> in the
// environment starts a sweep at its n-th operation, to replay one run.
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cryptopp/cryptlib.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/updater.h"
#include "protocol/frame.h"
#include "secure/crypto_call.h"
#include "secure/handshake.h"
#include "sim/sim_key.h"
#include "sim/sim_usb_enumerator.h"
#include "tests/support/allocation_failure.h"
#include "tests/support/captured_file.h"
#include "tests/support/fixed_key_source.h"

namespace nevrik {
namespace {

// Every Crypto++ call the host makes counts; the chosen one throws as Crypto++ does.
struct {
  bool armed = false;
  std::uint64_t counted = 0;
  std::uint64_t failAt = 0;
  bool failed = false;
} cryptoFailure;

}  // namespace

void BeforeCryptoCall(CryptoCall) {
  if (cryptoFailure.armed && ++cryptoFailure.counted == cryptoFailure.failAt) {
    cryptoFailure.failed = true;
    throw CryptoPP::Exception(CryptoPP::Exception::OTHER_ERROR, "Crypto++ call failed");
  }
}

namespace test {
namespace {

constexpr char Pin[] = "S0-PIN-5e7a91";

enum class Failing { Allocations, CryptoCalls };

// The simulated key, spared from every failure; notes for each request whether the failure had
// already happened when the key received it.
class SparedKey final : public SimUsbFunction {
 public:
  SparedKey(std::shared_ptr<SimKey> key, Failing failing) : key(std::move(key)), failing(failing) {}

  std::vector<std::uint8_t> DeviceDescriptor() const override {
    const AllocationsSpared spared;
    return key->DeviceDescriptor();
  }
  std::vector<std::uint8_t> ConfigurationDescriptor() const override {
    const AllocationsSpared spared;
    return key->ConfigurationDescriptor();
  }
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override {
    const AllocationsSpared spared;
    return key->Control(setup, outData);
  }
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
    const AllocationsSpared spared;
    const bool accepted = key->OutPacket(endpoint, packet);
    while (afterFailure.size() < key->Firmware().Requests().size()) {
      afterFailure.push_back(failing == Failing::Allocations ? allocation_failure::Failed()
                                                             : cryptoFailure.failed);
    }
    return accepted;
  }
  UsbInPacket InPacket(std::uint8_t endpoint) override {
    const AllocationsSpared spared;
    return key->InPacket(endpoint);
  }

  std::vector<bool> afterFailure;

 private:
  std::shared_ptr<SimKey> key;
  Failing failing;
};

// A pack of three chunks, the last one short: every step of the update at a fraction of the
// embedded pack's cost.
std::vector<std::uint8_t> SmallPackData() {
  constexpr std::uint32_t imageSize = 2 * 8192 + 300;
  std::vector<std::uint8_t> data = {'N', 'V', 'R', 'K', 'F', 'I', 'R', 'M', 24, 0,
                                    2,   0,   1,   2,   3,   4,   5,   6,   7,  8};
  for (int shift = 0; shift < 32; shift += 8) {
    data.push_back(static_cast<std::uint8_t>(imageSize >> shift));
  }
  for (std::uint32_t i = 0; i < imageSize; ++i) {
    data.push_back(static_cast<std::uint8_t>(i * 7 + (i >> 9)));
  }
  return data;
}

struct SweptRun {
  int exitCode = -1;
  std::string out;
  std::uint64_t operations = 0;
  bool failed = false;
  std::vector<std::uint8_t> commands;
  std::vector<bool> afterFailure;
  bool installed = false;
  bool echoOn = false;
  bool pinReleased = false;
};

// One whole update of a key at 1.5 with an SO PIN: "y", then the PIN, typed on a terminal.
SweptRun RunUpdate(Failing failing, std::uint64_t failAt) {
  static const std::vector<std::uint8_t> packData = SmallPackData();
  SimKeyFirmwareConfig firmware;
  firmware.soPin = std::vector<std::uint8_t>(Pin, Pin + sizeof Pin - 1);
  const auto key = std::make_shared<SimKey>(SimKeyUsbConfig{}, firmware);
  const auto spared = std::make_shared<SparedKey>(key, failing);
  FixedKeySource keySource = FixedKeySource::Distinct(HandshakeAttemptLimit);

  int controller = -1;
  int terminal = -1;
  EXPECT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  const std::string typed = std::string("y\n") + Pin + "\n";
  EXPECT_EQ(write(controller, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  std::FILE* in = fdopen(terminal, "r");
  const CapturedFile out;

  UpdaterEnvironment environment;
  environment.streams = {in, out.File(), out.File()};
  environment.pack = FirmwarePack(packData);
  environment.keySource = &keySource;
  environment.makeEnumerator = [&spared]() -> std::unique_ptr<KvUsbEnumerator> {
    auto enumerator = std::make_unique<SimUsbEnumerator>();
    enumerator->Attach(spared);
    return enumerator;
  };
  const wchar_t* const arguments[] = {L"nevrik-update", nullptr};

  SweptRun run;
  const bool allocations = failing == Failing::Allocations;
  allocation_failure::Arm(allocations ? failAt : 0);
  allocation_failure::WatchReleasesFor(
      std::span(reinterpret_cast<const std::uint8_t*>(Pin), sizeof Pin - 1));
  cryptoFailure = {!allocations, 0, failAt, false};
  run.exitCode = static_cast<int>(RunUpdater(1, arguments, environment));
  cryptoFailure.armed = false;
  run.pinReleased = allocation_failure::SecretReleased();
  const std::uint64_t allocationCount = allocation_failure::Disarm();
  run.operations = allocations ? allocationCount : cryptoFailure.counted;
  run.failed = allocations ? allocation_failure::Failed() : cryptoFailure.failed;

  termios mode{};
  run.echoOn = tcgetattr(controller, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
  std::fclose(in);
  close(controller);
  run.out = out.Text();
  for (const KeyRequestRecord& request : key->Firmware().Requests()) {
    run.commands.push_back(request.command);
  }
  run.afterFailure = spared->afterFailure;
  run.installed = key->Firmware().LatestUpdate() && key->Firmware().LatestUpdate()->installed;
  return run;
}

bool Documented(int exitCode) {
  return exitCode >= static_cast<int>(ExitCode::ExitOk) &&
         exitCode <= static_cast<int>(ExitCode::ExitStatusFailed);
}

// What every run must keep to, whichever operation failed in it.
void ExpectEndsCleanly(const SweptRun& run) {
  EXPECT_TRUE(Documented(run.exitCode)) << run.exitCode;
  EXPECT_LE(std::count(run.commands.begin(), run.commands.end(), CmdCancelUpdate), 1);
  if (run.exitCode == static_cast<int>(ExitCode::ExitOk)) {
    EXPECT_TRUE(run.installed);
    EXPECT_EQ(std::count(run.commands.begin(), run.commands.end(), CmdCancelUpdate), 0);
  } else {
    EXPECT_FALSE(run.installed);
    for (std::size_t i = 0; i < run.commands.size(); ++i) {
      EXPECT_FALSE(run.commands[i] == CmdDeploy && run.afterFailure[i]) << "deploy after failure";
    }
  }
  if (run.exitCode == static_cast<int>(ExitCode::ExitCanceled)) {
    ASSERT_GE(run.out.size(), 17u);
    EXPECT_EQ(run.out.substr(run.out.size() - 17), "Update canceled.\n");
  }
  EXPECT_TRUE(run.echoOn) << "the terminal's echo stayed off";
  EXPECT_FALSE(run.pinReleased) << "a heap block was given back with the SO PIN in it";
  EXPECT_EQ(run.out.find(Pin), std::string::npos);
}

class HostFailureSweep : public ::testing::TestWithParam<Failing> {};

TEST_P(HostFailureSweep, EveryOperationOfAWholeUpdateFailsInTurnAndEachRunEndsCleanly) {
  const Failing failing = GetParam();
  const char* const name = failing == Failing::Allocations ? "allocation" : "Crypto++ call";
  // Crypto++ 8.7 frees a block twice when an allocation inside its own code fails (SecBlock::New
  // gives back the old block before it allocates the new one, and keeps the old pointer when the
  // allocation throws). Its calls are made to fail whole by the Crypto++ sweep instead.
  allocation_failure::SpareCallersIn("libcrypto++");
  RunUpdate(failing, 0);  // the one-time set-up of statics happens here, not in the count
  const SweptRun clean = RunUpdate(failing, 0);
  ASSERT_EQ(clean.exitCode, static_cast<int>(ExitCode::ExitOk)) << clean.out;
  ASSERT_TRUE(clean.installed);
  ExpectEndsCleanly(clean);
  ASSERT_GT(clean.operations, 0u);

  std::map<int, unsigned> exitCodes;
  const char* from = std::getenv("NEVRIK_SWEEP_FROM");
  for (std::uint64_t failAt = from ? std::stoull(from) : 1; failAt <= clean.operations; ++failAt) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(failAt) + " of " +
                 std::to_string(clean.operations) + " fails");
    const SweptRun run = RunUpdate(failing, failAt);
    ASSERT_TRUE(run.failed) << "the run made fewer operations than the clean one";
    ExpectEndsCleanly(run);
    ++exitCodes[run.exitCode];
    if (HasFailure()) {
      std::cerr << run.out;
      break;
    }
  }
  std::cerr << name << "s failed in turn: " << clean.operations << "; exit codes:";
  for (const auto& [exitCode, runs] : exitCodes) {
    std::cerr << " " << exitCode << " x" << runs;
  }
  std::cerr << "\n";
  // A failure that nothing noticed would show as a run deployed in spite of it; most must not be.
  EXPECT_LT(exitCodes[static_cast<int>(ExitCode::ExitOk)], clean.operations);
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostFailureSweep,
                         ::testing::Values(Failing::Allocations, Failing::CryptoCalls),
                         [](const auto& info) {
                           return std::string(info.param == Failing::Allocations ? "Allocations"
                                                                                 : "CryptoCalls");
                         });

}  // namespace
}  // namespace test
}  // namespace nevrik
