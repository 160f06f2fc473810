// Whole runs of the updater against simulated keys: the exact console transcript, the exit code
// and the requests that reached the key.
#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_key.h"
#include "tests/app/updater_run.h"
#include "tests/support/key_requests.h"
#include "tests/support/updater_texts.h"

namespace nevrik {
namespace {

using test::Banner;
using test::Canceled;
using test::Caution;
using test::Commands;
using test::CommandsReceived;
using test::Question;
using test::RunResult;
using test::StatusRead;
using test::Then;
using test::UpdaterRun;
using test::WholeUpdate;

const std::string PinPrompt = "SO PIN: \n";
const std::string Updatable = "NEVRIK can be updated. ver.1.5 -> ver.2.0\n";
const std::string Writing = "Writing firmware .............. done!\n";
const std::string Verifying = "Verifying firmware .. done!\n";

// Up to the confirmation of a key at 1.5 without an SO PIN.
const std::string Confirmed = Banner + Updatable + Caution + Question;
// The first simulated key, as --verbose names it.
const std::string FoundFirstKey =
    "[VERBOSE] Found NEVRIK sim:1: serial \"NVKSIM0000000001\", location sim-1, USB 1209:0001.\n";
const std::string VerboseConfirmed = Banner + FoundFirstKey + Updatable + Caution + Question;

const Commands Handshaken = {CmdQuery, CmdQuery, CmdHandshake};

std::vector<std::uint8_t> SetupPayload(const std::string& pin) {
  const auto parameters = FirmwarePack(EmbeddedFirmwarePackData()).SetupParameters();
  std::vector<std::uint8_t> payload(parameters.size() + pin.size());
  std::copy(parameters.begin(), parameters.end(), payload.begin());
  std::copy(pin.begin(), pin.end(),
            payload.begin() + static_cast<std::ptrdiff_t>(parameters.size()));
  return payload;
}

const KeyRequestRecord& FirstRequestOf(const SimKey& key, std::uint8_t command) {
  for (const KeyRequestRecord& request : key.Firmware().Requests()) {
    if (request.command == command) {
      return request;
    }
  }
  throw std::runtime_error("no such request");
}

std::string ImageDigestHex(std::size_t length, std::uint8_t flipFirstByte = 0) {
  const auto image = FirmwarePack(EmbeddedFirmwarePackData()).Image();
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE + 1] = {};
  CryptoPP::SHA256().CalculateDigest(digest, image.data(), image.size());
  digest[0] ^= flipFirstByte;
  std::string hex;
  for (std::size_t i = 0; i < length; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

void AddFault(SimKey& key, ResponseFault fault) {
  key.Firmware().Faults().responses.push_back(std::move(fault));
}

SimKeyFirmwareConfig KeyAt(std::uint8_t major, std::uint8_t minor) {
  SimKeyFirmwareConfig config;
  config.firmwareMajor = major;
  config.firmwareMinor = minor;
  return config;
}

SimKeyFirmwareConfig KeyWithPin(const std::string& pin) {
  SimKeyFirmwareConfig config;
  config.soPin = std::vector<std::uint8_t>(pin.begin(), pin.end());
  return config;
}

// --- Successful updates ---------------------------------------------------------------------

TEST(UpdateTranscript, KeyWithoutSoPinIsUpdatedWithoutBeingAskedForOne) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  const RunResult result = run.Run({}, "y\n");

  EXPECT_EQ(result.out, Confirmed + Writing + Verifying + "Updated successfully!\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(CommandsReceived(*key), WholeUpdate());
  const KeyRequestRecord& setup = FirstRequestOf(*key, CmdSetup);
  EXPECT_TRUE(setup.secure);
  EXPECT_EQ(setup.payload, SetupPayload(""));
  std::vector<std::uint8_t> written;
  for (const KeyRequestRecord& request : key->Firmware().Requests()) {
    if (request.command == CmdWrite) {
      EXPECT_TRUE(request.secure && request.deciphered);
      written.insert(written.end(), request.payload.begin(), request.payload.end());
    }
  }
  const auto image = FirmwarePack(EmbeddedFirmwarePackData()).Image();
  EXPECT_EQ(written, std::vector<std::uint8_t>(image.begin(), image.end()));

  // The key now runs the new firmware, so a second run has nothing to do.
  const RunResult again = run.Run({}, "");
  EXPECT_EQ(again.out, Banner + "Current firmware is ver.2.0. No update is needed.\n");
  EXPECT_EQ(again.exitCode, 1);
}

TEST(UpdateTranscript, SoPinIsAskedForAndTravelsAfterTheSetupParameters) {
  UpdaterRun run;
  const auto key = run.AttachKey(KeyWithPin("12345678"));
  const RunResult result = run.Run({}, "y\n12345678\n");

  EXPECT_EQ(result.out, Confirmed + PinPrompt + Writing + Verifying + "Updated successfully!\n");
  EXPECT_EQ(result.exitCode, 0);
  const KeyRequestRecord& setup = FirstRequestOf(*key, CmdSetup);
  EXPECT_EQ(setup.length, 12 + 8);
  EXPECT_EQ(setup.payload, SetupPayload("12345678"));
  EXPECT_TRUE(setup.deciphered);
  // On the wire the PIN only ever travelled enciphered.
  const std::string wire(setup.transfer.begin(), setup.transfer.end());
  EXPECT_EQ(wire.find("12345678"), std::string::npos);
}

// A script without a terminal, on every platform: --yes answers the question as if "y" had been
// typed, the PIN is the input's first line, and a "\r\n" line end is no part of it.
TEST(UpdateTranscript, UnattendedRunTakesThePinFromTheInput) {
  UpdaterRun run;
  const auto key = run.AttachKey(KeyWithPin("4711"));
  const RunResult result = run.Run({L"--yes"}, "4711\r\n");

  EXPECT_EQ(result.out,
            Confirmed + "y\n" + PinPrompt + Writing + Verifying + "Updated successfully!\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(FirstRequestOf(*key, CmdSetup).payload, SetupPayload("4711"));
}

TEST(UpdateTranscript, VerboseRunShowsTheDetailLinesButNeverThePin) {
  UpdaterRun run;
  run.AttachKey(KeyWithPin("s3cr3t-PIN"));
  const RunResult result = run.Run({L"--verbose"}, "y\ns3cr3t-PIN\n");

  EXPECT_EQ(result.out, VerboseConfirmed + PinPrompt + Writing + Verifying +
                            "[VERBOSE] Firmware hash verified.\n"
                            "[VERBOSE] Firmware has been deployed.\n"
                            "Updated successfully!\n");
  EXPECT_EQ(result.out.find("s3cr3t"), std::string::npos);
  EXPECT_EQ(result.exitCode, 0);
}

// A key of another identity: a build carrying test data does not even open it (the emulated bus
// tests show the whole refusal), one carrying real firmware updates it.
TEST(UpdateTranscript, OnlyRealFirmwareReachesAKeyOfAnotherIdentity) {
  for (const bool testData : {true, false}) {
    UpdaterRun run;
    run.packIsTestData = testData;
    SimKeyUsbConfig usb;
    usb.vendorId = 0x20a0;
    const auto key = run.AttachKey({}, usb);
    const RunResult result = run.Run({}, "y\n");
    EXPECT_EQ(result.exitCode, testData ? 6 : 0);
    EXPECT_EQ(key->ControlRequests().empty(), testData);
  }
  EXPECT_TRUE(EmbeddedFirmwarePackIsTestData());
}

TEST(UpdateTranscript, PinOf256BytesIsSent) {
  const std::string pin(256, 'p');
  UpdaterRun run;
  const auto key = run.AttachKey(KeyWithPin(pin));
  const RunResult result = run.Run({}, "y\n" + pin + "\n");

  EXPECT_EQ(result.out, Confirmed + PinPrompt + Writing + Verifying + "Updated successfully!\n");
  EXPECT_EQ(FirstRequestOf(*key, CmdSetup).payload, SetupPayload(pin));
}

TEST(UpdateTranscript, SoPinLockedWithoutSoPinSetIsIgnored) {
  SimKeyFirmwareConfig config;
  config.soPinLocked = true;
  UpdaterRun run;
  const auto key = run.AttachKey(config);
  const RunResult result = run.Run({}, "y\n");

  EXPECT_EQ(result.out, Confirmed + Writing + Verifying + "Updated successfully!\n");
  EXPECT_EQ(result.exitCode, 0);
}

TEST(UpdateTranscript, ImageFillingItsLastChunkSendsNoEmptyChunk) {
  const auto embedded = EmbeddedFirmwarePackData();
  std::vector<std::uint8_t> packBytes(embedded.begin(), embedded.begin() + 20);
  const std::uint32_t imageSize = 2 * 8192;
  for (int i = 0; i < 4; ++i) {
    packBytes.push_back(static_cast<std::uint8_t>(imageSize >> (8 * i)));
  }
  for (std::uint32_t i = 0; i < imageSize; ++i) {
    packBytes.push_back(static_cast<std::uint8_t>(i * 31));
  }
  UpdaterRun run;
  run.pack = FirmwarePack(packBytes);
  const auto key = run.AttachKey();
  const RunResult result = run.Run({}, "y\n");

  EXPECT_EQ(result.out,
            Confirmed + "Writing firmware .. done!\n" + Verifying + "Updated successfully!\n");
  EXPECT_EQ(CommandsReceived(*key),
            Then(Handshaken, {CmdSetup, CmdWrite, CmdWrite, CmdGetHash, CmdDeploy, CmdFinal}));
  for (const KeyRequestRecord& request : key->Firmware().Requests()) {
    if (request.command == CmdWrite) {
      EXPECT_EQ(request.length, 8192);
    }
  }
}

// --- The version decision -------------------------------------------------------------------

TEST(UpdateTranscript, KeyAtTheTargetVersionOrLaterNeedsNoUpdate) {
  for (const auto& [major, minor, shown] :
       {std::tuple{2, 0, "2.0"}, std::tuple{3, 0, "3.0"}, std::tuple{2, 1, "2.1"}}) {
    UpdaterRun run;
    const auto key =
        run.AttachKey(KeyAt(static_cast<std::uint8_t>(major), static_cast<std::uint8_t>(minor)));
    const RunResult result = run.Run({}, "y\n");
    EXPECT_EQ(result.out, Banner + "Current firmware is ver." + shown + ". No update is needed.\n");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(CommandsReceived(*key), StatusRead);
  }
}

TEST(UpdateTranscript, OlderKeysAreOfferedTheUpdate) {
  UpdaterRun run;
  run.AttachKey(KeyAt(1, 99));
  const RunResult result = run.Run({}, "n\n");
  EXPECT_EQ(result.out, Banner + "NEVRIK can be updated. ver.1.99 -> ver.2.0\n" + Caution +
                            Question + Canceled);
  EXPECT_EQ(result.exitCode, 4);
}

TEST(UpdateTranscript, ForceUpdatesAKeyAlreadyAtTheTargetVersion) {
  UpdaterRun run;
  const auto key = run.AttachKey(KeyAt(2, 0));
  const RunResult result = run.Run({L"-f"}, "y\n");
  EXPECT_EQ(result.out, Banner + "Force update is activated. ver.2.0 -> ver.2.0\n" + Caution +
                            Question + Writing + Verifying + "Updated successfully!\n");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(CommandsReceived(*key), WholeUpdate());
}

// --- The confirmation -----------------------------------------------------------------------

struct ConfirmationCase {
  std::string input;
  std::string dialogue;  // what follows the caution text
  int exitCode;
};

class Confirmation : public ::testing::TestWithParam<ConfirmationCase> {};

TEST_P(Confirmation, DecidesWhetherAnythingIsSent) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  const RunResult result = run.Run({}, GetParam().input);
  EXPECT_EQ(result.out, Banner + Updatable + Caution + GetParam().dialogue);
  EXPECT_EQ(result.exitCode, GetParam().exitCode);
  EXPECT_EQ(CommandsReceived(*key), GetParam().exitCode == 0 ? WholeUpdate() : StatusRead);
}

const std::string Invalid = "Invalid key input\n";
const std::string Done = Writing + Verifying + "Updated successfully!\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, Confirmation,
    ::testing::Values(ConfirmationCase{"Y\n", Question + Done, 0},
                      ConfirmationCase{"n\n", Question + Canceled, 4},
                      ConfirmationCase{"N\n", Question + Canceled, 4},
                      ConfirmationCase{"yes\nno\nyy\ny\n",
                                       Question + Invalid + Question + Invalid + Question +
                                           Invalid + Question + Done,
                                       0},
                      ConfirmationCase{"\nx\nn\n", Question + Question + Question + Canceled, 4},
                      ConfirmationCase{"", Question + Canceled, 4},
                      ConfirmationCase{"y", Question + Canceled, 4},
                      ConfirmationCase{"ny\ny\n", Question + Invalid + Question + Done, 0},
                      ConfirmationCase{"nyy y\nn\n", Question + Invalid + Question + Canceled, 4}));

// --- Failures before the secure channel: no cancel request ----------------------------------

TEST(UpdateTranscript, NoKey) {
  UpdaterRun run;
  const RunResult result = run.Run();
  EXPECT_EQ(result.out,
            Banner + "[WARN   ] NEVRIK not found. Please attach one NEVRIK device to the PC.\n" +
                Canceled);
  EXPECT_EQ(result.exitCode, 3);
}

TEST(UpdateTranscript, SeveralKeys) {
  UpdaterRun run;
  const auto first = run.AttachKey();
  const auto second = run.AttachKey();
  const RunResult result = run.Run();
  EXPECT_EQ(result.out,
            Banner + "[WARN   ] Found 2 NEVRIK devices; only one should be attached.\n" + Canceled);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_TRUE(first->Firmware().Requests().empty());
  EXPECT_TRUE(first->ControlRequests().empty());
  EXPECT_TRUE(second->ControlRequests().empty());
}

TEST(UpdateTranscript, KeyThatCannotBeOpened) {
  for (const UsbOpenResult refusal :
       {UsbOpenResult::AccessDenied, UsbOpenResult::PathNotFound, UsbOpenResult::OpenFailed}) {
    UpdaterRun run;
    run.AttachKey({}, {}, refusal);
    const RunResult result = run.Run();
    EXPECT_EQ(result.out, Banner + "[ERROR  ] NEVRIK is being used by another app.\n" + Canceled);
    EXPECT_EQ(result.exitCode, 3);
  }
}

TEST(UpdateTranscript, KeyThatDoesNotSynchronise) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  key->UsbFaults().stallClassRequest = true;
  const RunResult result = run.Run();
  EXPECT_EQ(result.out, Banner + "[ERROR  ] Cannot access NEVRIK.\n" + Canceled);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_TRUE(key->Firmware().Requests().empty());
}

TEST(UpdateTranscript, StatusQueryFails) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  AddFault(*key, ResponseFault::Status(FaultTrigger::OnRequest(2), 3));
  const RunResult result = run.Run({}, "y\n");
  EXPECT_EQ(result.out, Banner + "[ERROR  ] Failed to get device status: Busy\n");
  EXPECT_EQ(result.exitCode, 7);
  EXPECT_EQ(CommandsReceived(*key), StatusRead);
}

TEST(UpdateTranscript, SoPinLocked) {
  SimKeyFirmwareConfig config = KeyWithPin("1234");
  config.soPinLocked = true;
  UpdaterRun run;
  const auto key = run.AttachKey(config);
  const RunResult result = run.Run({}, "y\n1234\n");
  EXPECT_EQ(result.out, Confirmed +
                            "[ERROR  ] SO PIN has been locked. Restore your NEVRIK to the "
                            "factory settings.\n");
  EXPECT_EQ(result.exitCode, 5);
  EXPECT_EQ(CommandsReceived(*key), StatusRead);
}

// --- Failures from the secure channel on: exactly one cancel request ------------------------

struct FailureCase {
  const char* name;
  std::string pin;            // the key's SO PIN; empty: none
  std::string typedPin;       // what the user types
  void (*breakKey)(SimKey&);  // the fault
  std::string afterConfirmation;
  Commands commandsBeforeCancel;
};

std::string CaseName(const ::testing::TestParamInfo<FailureCase>& info) {
  return info.param.name;
}

class FailureAfterTheSecureChannel : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureAfterTheSecureChannel, EndsWithOneCancelRequest) {
  const FailureCase& failure = GetParam();
  UpdaterRun run;
  const auto key =
      run.AttachKey(failure.pin.empty() ? SimKeyFirmwareConfig{} : KeyWithPin(failure.pin));
  failure.breakKey(*key);
  const std::string input =
      "y\n" + (failure.pin.empty() && failure.typedPin.empty() ? "" : failure.typedPin + "\n");
  const RunResult result = run.Run({}, input);

  const std::string prompt = failure.pin.empty() ? "" : PinPrompt;
  EXPECT_EQ(result.out, Confirmed + prompt + failure.afterConfirmation + Canceled);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(CommandsReceived(*key), Then(failure.commandsBeforeCancel, {CmdCancelUpdate}));
}

Commands WritesUpTo(int chunks) {
  Commands commands = Then(Handshaken, {CmdSetup});
  commands.insert(commands.end(), static_cast<std::size_t>(chunks), CmdWrite);
  return commands;
}

const std::string WritingAll = "Writing firmware .............. done!\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, FailureAfterTheSecureChannel,
    ::testing::Values(
        FailureCase{"HandshakeRefused", "", "",
                    [](SimKey& key) {
                      AddFault(key,
                               ResponseFault::Status(FaultTrigger::OnCommand(CmdHandshake), 3));
                    },
                    "[ERROR  ] Cannot establish secure messaging: Busy\n", Handshaken},
        FailureCase{"DeviceKeyNeverValid", "", "",
                    [](SimKey& key) { key.Firmware().Faults().invalidKeyHandshakes = 10; },
                    "[ERROR  ] Cannot establish secure messaging: ProtocolError\n",
                    Commands{CmdQuery, CmdQuery, CmdHandshake, CmdHandshake, CmdHandshake,
                             CmdHandshake, CmdHandshake, CmdHandshake, CmdHandshake, CmdHandshake,
                             CmdHandshake, CmdHandshake}},
        FailureCase{"PinOf257Bytes", std::string(257, 'p'), std::string(257, 'p'), [](SimKey&) {},
                    "[ERROR  ] Too long SO PIN.\n", Handshaken},
        FailureCase{"WrongPin", "right", "wrong", [](SimKey&) {}, "[ERROR  ] Incorrect SO PIN.\n",
                    Then(Handshaken, {CmdSetup})},
        FailureCase{"SetupRefused", "", "",
                    [](SimKey& key) {
                      AddFault(key, ResponseFault::Status(FaultTrigger::OnCommand(CmdSetup), 7));
                    },
                    "[ERROR  ] Setup request failed: DeviceInternalError\n",
                    Then(Handshaken, {CmdSetup})},
        FailureCase{"ThirdChunkRefused", "", "",
                    [](SimKey& key) {
                      AddFault(key, ResponseFault::Status(FaultTrigger::OnRequest(7), 3));
                    },
                    "Writing firmware ..[ERROR  ] Write request failed: Busy\n", WritesUpTo(3)},
        FailureCase{
            "HashQueryFails", "", "",
            [](SimKey& key) {
              AddFault(key, ResponseFault::Status(FaultTrigger::OnCommand(CmdGetHash), 3));
            },
            WritingAll + "Verifying firmware .[ERROR  ] Failed to get firmware hash: Busy\n",
            Then(WritesUpTo(14), {CmdGetHash})},
        FailureCase{"EmptyHash", "", "",
                    [](SimKey& key) {
                      AddFault(key,
                               ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdGetHash), 0));
                    },
                    WritingAll + "Verifying firmware ..[ERROR  ] Empty hash is received.\n",
                    Then(WritesUpTo(14), {CmdGetHash})},
        FailureCase{"HashDiffers", "", "",
                    [](SimKey& key) {
                      AddFault(key, ResponseFault::Of(FaultTrigger::OnCommand(CmdGetHash),
                                                      ResponseFaultKind::CorruptPayload));
                    },
                    WritingAll + "Verifying firmware ..[ERROR  ] Hash mismatch: " +
                        ImageDigestHex(32, 0x01) + "\n",
                    Then(WritesUpTo(14), {CmdGetHash})},
        FailureCase{"HashOf31Bytes", "", "",
                    [](SimKey& key) {
                      AddFault(key,
                               ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdGetHash), 31));
                    },
                    WritingAll + "Verifying firmware ..[ERROR  ] Hash mismatch: " +
                        ImageDigestHex(31) + "\n",
                    Then(WritesUpTo(14), {CmdGetHash})},
        FailureCase{"HashOf33Bytes", "", "",
                    [](SimKey& key) {
                      AddFault(key,
                               ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdGetHash), 33));
                    },
                    WritingAll + "Verifying firmware ..[ERROR  ] Hash mismatch: " +
                        ImageDigestHex(33) + "\n",
                    Then(WritesUpTo(14), {CmdGetHash})},
        FailureCase{"DeployRefused", "", "",
                    [](SimKey& key) {
                      AddFault(key, ResponseFault::Status(FaultTrigger::OnCommand(CmdDeploy), 8));
                    },
                    WritingAll + Verifying + "[ERROR  ] Failed to deploy firmware.\n",
                    Then(WritesUpTo(14), {CmdGetHash, CmdDeploy})},
        FailureCase{"DeployAnsweredWithData", "", "",
                    [](SimKey& key) {
                      AddFault(key,
                               ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdDeploy), 1));
                    },
                    WritingAll + Verifying + "[ERROR  ] Failed to deploy firmware.\n",
                    Then(WritesUpTo(14), {CmdGetHash, CmdDeploy})}),
    CaseName);

// The final frame cannot be written: the OUT endpoint stalls it, so the cancel request that
// follows cannot be written either, and says so.
TEST(UpdateTranscript, FinalFrameFails) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  const unsigned finalTransfer = static_cast<unsigned>(WholeUpdate().size());
  key->UsbFaults().stallOutTransfers.insert(finalTransfer);
  const RunResult result = run.Run({}, "y\n");
  EXPECT_EQ(result.out, Confirmed + Writing + Verifying +
                            "[ERROR  ] Failed to deploy firmware.\n"
                            "[ERROR  ] Failed to cancel update request: DeviceError\n" +
                            Canceled);
  EXPECT_EQ(result.exitCode, 4);
  Commands sent = WholeUpdate();
  sent.pop_back();  // the final frame never reached the firmware
  EXPECT_EQ(CommandsReceived(*key), sent);
}

TEST(UpdateTranscript, CancelAnsweredWithDataIsReportedAndTheExitCodeStays) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  AddFault(*key, ResponseFault::Status(FaultTrigger::OnCommand(CmdSetup), 7));
  AddFault(*key, ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdCancelUpdate), 3));
  const RunResult result = run.Run({}, "y\n");
  EXPECT_EQ(result.out, Confirmed +
                            "[ERROR  ] Setup request failed: DeviceInternalError\n"
                            "[ERROR  ] Failed to cancel update request: ProtocolError\n" +
                            Canceled);
  EXPECT_EQ(result.exitCode, 4);
}

TEST(UpdateTranscript, SuccessfulCancelIsAVerboseDetail) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  AddFault(*key, ResponseFault::Status(FaultTrigger::OnCommand(CmdDeploy), 8));
  const RunResult result = run.Run({L"--verb"}, "y\n");
  EXPECT_EQ(result.out, VerboseConfirmed + Writing + Verifying +
                            "[VERBOSE] Firmware hash verified.\n"
                            "[ERROR  ] Failed to deploy firmware.\n"
                            "[VERBOSE] Update has been canceled.\n" +
                            Canceled);
}

}  // namespace
}  // namespace nevrik
