// Whole updates in which one of the host's own operations fails: a clean run counts them, then
// one run per operation fails exactly that one: every heap allocation in turn, except those made
// inside Crypto++'s own code, and every Crypto++ call in turn. The updater runs in-process as a
// user would start it, against a simulated key whose own work never fails, with its input on a
// pseudo-terminal. Each run is placed by the last step the test saw it reach before the failure
// (the key listed, opened, a request received, ...), and the table below says what a failure at
// that step must end in: the exit code, the last lines of output and the requests the key receives
// after it. Every run also keeps the echo on and gives back no heap block with the SO PIN in it;
// the sanitizer build adds LeakSanitizer's verdict over all of them. NEVRIK_SWEEP_FROM=<n> in the
// environment starts a sweep at its n-th operation, to replay one run.
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cryptopp/cryptlib.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
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
  CryptoCall failedCall = CryptoCall::Hash;
} cryptoFailure;

}  // namespace

namespace test {
namespace {
void NoteWhetherInputWasRead();
}  // namespace
}  // namespace test

void BeforeCryptoCall(CryptoCall call) {
  if (cryptoFailure.armed && ++cryptoFailure.counted == cryptoFailure.failAt) {
    test::NoteWhetherInputWasRead();
    cryptoFailure.failed = true;
    cryptoFailure.failedCall = call;
    throw CryptoPP::Exception(CryptoPP::Exception::OTHER_ERROR, "Crypto++ call failed");
  }
}

namespace test {
namespace {

constexpr char Pin[] = "S0-PIN-5e7a91";

enum class Failing { Allocations, CryptoCalls };

// The steps of a whole update that the test sees from outside the updater, in order.
enum class Step {
  Start,      // the updater started
  Listing,    // it asked for the list of keys
  Opening,    // it opens the key
  Opened,     // the key is open
  Query,      // the key received a query (synchronisation, status)
  InputRead,  // the typed input was read to its end: the SO PIN is known
  KeyPair,    // the secure channel began: a key pair was asked for
  Handshake,  // the key received the handshake request
  Setup,      // ... the setup request
  Write,      // ... a chunk of the image
  GetHash,    // ... the hash query
  Deploy,     // ... the deploy request
  Final,      // ... the final frame
};

const char* StepName(Step step) {
  constexpr const char* names[] = {"start",      "listing",  "opening",    "opened", "query",
                                   "input read", "key pair", "handshake",  "setup",  "write",
                                   "hash query", "deploy",   "final frame"};
  return names[static_cast<int>(step)];
}

const char* CallName(CryptoCall call) {
  constexpr const char* names[] = {"key generation", "key agreement", "hash", "cipher"};
  return names[static_cast<int>(call)];
}

// The last step reached before the failure: a step reached after it is not noted. The end of
// the input shows in no call the test sees, so the terminal is looked at when the operation fails.
struct {
  Failing failing = Failing::Allocations;
  Step reached = Step::Start;
  int terminal = -1;
} trail;

void NoteWhetherInputWasRead() {
  int unread = 0;
  if (trail.reached < Step::InputRead && ioctl(trail.terminal, FIONREAD, &unread) == 0 &&
      unread == 0) {
    trail.reached = Step::InputRead;
  }
}

bool FailedYet() {
  return trail.failing == Failing::Allocations ? allocation_failure::Failed()
                                               : cryptoFailure.failed;
}

void Reach(Step step) {
  if (!FailedYet()) {
    trail.reached = step;
  }
}

std::optional<Step> StepOfRequest(std::uint8_t command) {
  switch (command) {
    case CmdQuery:
      return Step::Query;
    case CmdHandshake:
      return Step::Handshake;
    case CmdSetup:
      return Step::Setup;
    case CmdWrite:
      return Step::Write;
    case CmdGetHash:
      return Step::GetHash;
    case CmdDeploy:
      return Step::Deploy;
    case CmdFinal:
      return Step::Final;
    default:
      return std::nullopt;  // the cancel request comes after the failure
  }
}

// The simulated key, spared from every failure; notes for each request whether the failure had
// already happened when the key received it.
class SparedKey final : public SimUsbFunction {
 public:
  explicit SparedKey(std::shared_ptr<SimKey> key) : key(std::move(key)) {}

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
    const auto& requests = key->Firmware().Requests();
    while (afterFailure.size() < requests.size()) {
      if (const auto step = StepOfRequest(requests[afterFailure.size()].command)) {
        Reach(*step);
      }
      afterFailure.push_back(FailedYet());
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
};

// The simulated keys' enumerator, noting when the updater opens the key.
class MarkingEnumerator final : public SimUsbEnumerator {
 public:
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) override {
    Reach(Step::Opening);
    const UsbOpenResult result = SimUsbEnumerator::OpenDevice(index, device);
    Reach(Step::Opened);
    return result;
  }
};

// The fixed key pairs, noting when the secure channel asks for one.
class MarkingKeySource final : public EphemeralKeySource {
 public:
  explicit MarkingKeySource(EphemeralKeySource& source) : source(source) {}
  bool Generate(CryptoPP::SecByteBlock& privateKey, CryptoPP::SecByteBlock& publicKey) override {
    Reach(Step::KeyPair);
    return source.Generate(privateKey, publicKey);
  }

 private:
  EphemeralKeySource& source;
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
  Step reached = Step::Start;  // the last step before the failure
  CryptoCall failedCall = CryptoCall::Hash;
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
  const auto spared = std::make_shared<SparedKey>(key);
  FixedKeySource fixedKeys = FixedKeySource::Distinct(HandshakeAttemptLimit);
  MarkingKeySource keySource(fixedKeys);

  int controller = -1;
  int terminal = -1;
  EXPECT_EQ(openpty(&controller, &terminal, nullptr, nullptr, nullptr), 0);
  const std::string typed = std::string("y\n") + Pin + "\n";
  EXPECT_EQ(write(controller, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  // The terminal takes in what was typed a moment later; the run starts once all of it is there.
  int unread = 0;
  for (int wait = 0; wait < 5000; ++wait) {
    if (ioctl(terminal, FIONREAD, &unread) != 0 || unread == static_cast<int>(typed.size())) {
      break;
    }
    usleep(1000);
  }
  EXPECT_EQ(unread, static_cast<int>(typed.size()));
  std::FILE* in = fdopen(terminal, "r");
  const CapturedFile out;

  UpdaterEnvironment environment;
  environment.streams = {in, out.File(), out.File()};
  environment.pack = FirmwarePack(packData);
  environment.keySource = &keySource;
  environment.makeEnumerator = [&spared]() -> std::unique_ptr<KvUsbEnumerator> {
    Reach(Step::Listing);
    auto enumerator = std::make_unique<MarkingEnumerator>();
    enumerator->Attach(spared);
    return enumerator;
  };
  const wchar_t* const arguments[] = {L"nevrik-update", nullptr};

  SweptRun run;
  const bool allocations = failing == Failing::Allocations;
  allocation_failure::Arm(allocations ? failAt : 0);
  allocation_failure::WatchReleasesFor(
      std::span(reinterpret_cast<const std::uint8_t*>(Pin), sizeof Pin - 1));
  cryptoFailure = {!allocations, 0, failAt, false, CryptoCall::Hash};
  trail = {failing, Step::Start, terminal};
  allocation_failure::OnFailure(NoteWhetherInputWasRead);
  run.exitCode = static_cast<int>(RunUpdater(1, arguments, environment));
  cryptoFailure.armed = false;
  allocation_failure::OnFailure(nullptr);
  run.pinReleased = allocation_failure::SecretReleased();
  const std::uint64_t allocationCount = allocation_failure::Disarm();
  run.operations = allocations ? allocationCount : cryptoFailure.counted;
  run.failed = allocations ? allocation_failure::Failed() : cryptoFailure.failed;
  run.reached = trail.reached;
  run.failedCall = cryptoFailure.failedCall;

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

// What a run must end in: its exit code, the end of its output (the last line and the error
// line before it) and the requests the key receives after the failure, in order.
struct Outcome {
  ExitCode exitCode;
  std::string ending;
  std::vector<std::uint8_t> requestsAfter;
};

// The requests of a whole update from the handshake on: three chunks of the small pack.
const std::vector<std::uint8_t> UpdateFromHandshake = {
    CmdHandshake, CmdSetup, CmdWrite, CmdWrite, CmdWrite, CmdGetHash, CmdDeploy, CmdFinal};

Outcome Updated(std::vector<std::uint8_t> requestsAfter) {
  return {ExitCode::ExitOk, "Updated successfully!\n", std::move(requestsAfter)};
}

Outcome WholeUpdate() {
  std::vector<std::uint8_t> requests = {CmdQuery, CmdQuery};
  requests.insert(requests.end(), UpdateFromHandshake.begin(), UpdateFromHandshake.end());
  return Updated(requests);
}

// An exception no step expected ends the run with one line that names it; from the secure channel
// on, the key is told to cancel first.
Outcome Unexpected(const std::string& what, std::vector<std::uint8_t> requestsAfter) {
  return {ExitCode::ExitCanceled, "[ERROR  ] Unexpected failure: " + what + "\nUpdate canceled.\n",
          std::move(requestsAfter)};
}

const std::string BadAlloc = "std::bad_alloc";
const std::string CryptoFailed = "Crypto++ call failed";

// One row per step at which an operation fails, for allocations, and per step and kind of call,
// for Crypto++ calls. Every row must be met by the sweep, and every run must meet a row.
struct Row {
  Failing failing;
  Step reached;
  std::optional<CryptoCall> call;
  const char* why;
  Outcome outcome;
};

const std::vector<Row>& Table() {
  using enum Step;
  static const std::vector<Row> rows = {
      // Allocations: std::bad_alloc, or a null pointer from malloc.
      {Failing::Allocations, Start, std::nullopt,
       "the output's buffer: the C library writes unbuffered instead", WholeUpdate()},
      {Failing::Allocations, Listing, std::nullopt, "listing the keys", Unexpected(BadAlloc, {})},
      {Failing::Allocations,
       Opening,
       std::nullopt,
       "the enumerator turns any exception while opening into a failure to open, whose message "
       "the README says can also mean that memory ran out",
       {ExitCode::ExitNoDevice,
        "[ERROR  ] NEVRIK is being used by another app.\nUpdate canceled.\n",
        {}}},
      {Failing::Allocations, Opened, std::nullopt, "the session, its synchronisation",
       Unexpected(BadAlloc, {})},
      {Failing::Allocations, Query, std::nullopt,
       "the status, the confirmation, the SO PIN while it is typed", Unexpected(BadAlloc, {})},
      {Failing::Allocations, InputRead, std::nullopt, "the secure channel before its key pair",
       Unexpected(BadAlloc, {CmdCancelUpdate})},
      {Failing::Allocations, KeyPair, std::nullopt, "the secure channel",
       Unexpected(BadAlloc, {CmdCancelUpdate})},
      {Failing::Allocations, Handshake, std::nullopt, "the secure channel, the setup request",
       Unexpected(BadAlloc, {CmdCancelUpdate})},
      {Failing::Allocations, Setup, std::nullopt, "the write requests",
       Unexpected(BadAlloc, {CmdCancelUpdate})},
      {Failing::Allocations, Write, std::nullopt, "the hash and its query",
       Unexpected(BadAlloc, {CmdCancelUpdate})},

      // Crypto++ calls: CryptoPP::Exception.
      {Failing::CryptoCalls, KeyPair, CryptoCall::KeyGeneration, "the host's key pair",
       Unexpected(CryptoFailed, {CmdCancelUpdate})},
      {Failing::CryptoCalls, Handshake, CryptoCall::Hash,
       "the key's fingerprint, the key derivation", Unexpected(CryptoFailed, {CmdCancelUpdate})},
      {Failing::CryptoCalls, Handshake, CryptoCall::KeyAgreement,
       "an agreement that fails is tried again with the next key pair",
       Updated(UpdateFromHandshake)},
      {Failing::CryptoCalls, Handshake, CryptoCall::Cipher,
       "keying the cipher, enciphering the setup request",
       Unexpected(CryptoFailed, {CmdCancelUpdate})},
      {Failing::CryptoCalls, Setup, CryptoCall::Cipher, "enciphering the first chunk",
       Unexpected(CryptoFailed, {CmdCancelUpdate})},
      {Failing::CryptoCalls, Write, CryptoCall::Cipher, "enciphering the next chunks",
       Unexpected(CryptoFailed, {CmdCancelUpdate})},
      {Failing::CryptoCalls, Write, CryptoCall::Hash, "the image's SHA-256",
       Unexpected(CryptoFailed, {CmdCancelUpdate})},
      {Failing::CryptoCalls, GetHash, CryptoCall::Cipher, "deciphering the key's hash",
       Unexpected(CryptoFailed, {CmdCancelUpdate})},
  };
  return rows;
}

const Row* RowFor(Failing failing, const SweptRun& run) {
  for (const Row& row : Table()) {
    if (row.failing == failing && row.reached == run.reached &&
        (failing == Failing::Allocations || row.call == run.failedCall)) {
      return &row;
    }
  }
  return nullptr;
}

std::string Describe(Failing failing, const SweptRun& run) {
  std::string where = std::string("after step \"") + StepName(run.reached) + "\"";
  return failing == Failing::Allocations ? where
                                         : std::string(CallName(run.failedCall)) + " " + where;
}

std::vector<std::uint8_t> RequestsAfterFailure(const SweptRun& run) {
  std::vector<std::uint8_t> after;
  for (std::size_t i = 0; i < run.commands.size(); ++i) {
    if (run.afterFailure[i]) {
      after.push_back(run.commands[i]);
    }
  }
  return after;
}

bool EndsWith(const std::string& text, const std::string& ending) {
  return text.size() >= ending.size() &&
         text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

void ExpectOutcome(const SweptRun& run, const Outcome& outcome,
                   const std::vector<std::uint8_t>& requestsAfter) {
  EXPECT_EQ(run.exitCode, static_cast<int>(outcome.exitCode));
  EXPECT_TRUE(EndsWith(run.out, outcome.ending)) << "expected the output to end in\n"
                                                 << outcome.ending;
  EXPECT_EQ(requestsAfter, outcome.requestsAfter);
  EXPECT_EQ(run.installed, outcome.exitCode == ExitCode::ExitOk);
}

// What every run keeps to, whichever operation failed in it.
void ExpectSecretsKept(const SweptRun& run) {
  EXPECT_TRUE(run.echoOn) << "the terminal's echo stayed off";
  EXPECT_FALSE(run.pinReleased) << "a heap block was given back with the SO PIN in it";
  EXPECT_EQ(run.out.find(Pin), std::string::npos);
}

class HostFailureSweep : public ::testing::TestWithParam<Failing> {};

TEST_P(HostFailureSweep, EveryOperationOfAWholeUpdateFailsInTurnAndEndsAsItsStepRequires) {
  const Failing failing = GetParam();
  const char* const name = failing == Failing::Allocations ? "allocation" : "Crypto++ call";
  // Crypto++ 8.7 frees a block twice when an allocation inside its own code fails (SecBlock::New
  // gives back the old block before it allocates the new one, and keeps the old pointer when the
  // allocation throws). Its calls are made to fail whole by the Crypto++ sweep instead.
  allocation_failure::SpareCallersIn("libcrypto++");
  RunUpdate(failing, 0);  // the one-time set-up of statics happens here, not in the count
  const SweptRun clean = RunUpdate(failing, 0);
  ExpectOutcome(clean, WholeUpdate(), clean.commands);
  ExpectSecretsKept(clean);
  ASSERT_FALSE(HasFailure()) << clean.out;
  ASSERT_GT(clean.operations, 0u);

  std::map<const Row*, unsigned> runsPerRow;
  const char* from = std::getenv("NEVRIK_SWEEP_FROM");
  for (std::uint64_t failAt = from ? std::stoull(from) : 1; failAt <= clean.operations; ++failAt) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(failAt) + " of " +
                 std::to_string(clean.operations) + " fails");
    const SweptRun run = RunUpdate(failing, failAt);
    ASSERT_TRUE(run.failed) << "the run made fewer operations than the clean one";
    const Row* row = RowFor(failing, run);
    if (row == nullptr) {
      ADD_FAILURE() << "no row says what a failure " << Describe(failing, run) << " ends in";
    } else {
      SCOPED_TRACE(Describe(failing, run) + ": " + row->why);
      ++runsPerRow[row];
      ExpectOutcome(run, row->outcome, RequestsAfterFailure(run));
    }
    ExpectSecretsKept(run);
    if (HasFailure()) {
      std::cerr << run.out;
      break;
    }
  }
  std::cerr << name << "s failed in turn: " << clean.operations << "\n";
  for (const Row& row : Table()) {
    if (row.failing != failing) {
      continue;
    }
    std::cerr << "  " << runsPerRow[&row] << " after step \"" << StepName(row.reached) << "\""
              << (row.call ? std::string(" (") + CallName(*row.call) + ")" : "") << ": " << row.why
              << "\n";
    // A row no run meets is out of date: the table must describe the update as it is.
    EXPECT_TRUE(from != nullptr || HasFailure() || runsPerRow[&row] > 0)
        << "no " << name << " fails after step \"" << StepName(row.reached) << "\"";
  }
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
