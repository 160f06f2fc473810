// Whole in-process runs that the user interrupts, or that an unexpected exception ends: what the
// console shows, the exit code, and the requests that reached the key.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "app/interrupt.h"
#include "protocol/frame.h"
#include "tests/app/updater_run.h"
#include "tests/support/key_requests.h"
#include "tests/support/updater_texts.h"

namespace nevrik::test {
namespace {

const std::string& Confirmed = AskedToUpdateFrom15;
const std::string& Interrupted = InterruptedWarning;

// The user presses Ctrl+C while the key handles its count-th request of command: from then on
// the run sees the interruption.
class InterruptDuring final : public Interruption {
 public:
  InterruptDuring(const SimKey& key, std::uint8_t command, unsigned count)
      : key(key), command(command), count(count) {}

  bool IsRequested() const override {
    const auto& requests = key.Firmware().Requests();
    return static_cast<unsigned>(std::count_if(requests.begin(), requests.end(), [&](auto& r) {
             return r.command == command;
           })) >= count;
  }

 private:
  const SimKey& key;
  std::uint8_t command;
  unsigned count;
};

// An allocation that fails once the key has handled its count-th write.
class ThrowDuringWrite final : public Interruption {
 public:
  ThrowDuringWrite(const SimKey& key, unsigned count) : writes(key, CmdWrite, count) {}
  bool IsRequested() const override {
    if (writes.IsRequested()) {
      throw std::bad_alloc();
    }
    return false;
  }

 private:
  InterruptDuring writes;
};

const Commands Secured = {CmdQuery, CmdQuery, CmdHandshake};
const Commands Written = Then(Then(Secured, CmdSetup), CmdWrite, 14);

struct InterruptCase {
  const char* name;
  std::uint8_t command;
  unsigned count;
  std::string out;
  int exitCode;
  Commands commands;
};

class InterruptedRun : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(InterruptedRun, StopsAfterTheRequestInFlight) {
  const InterruptCase& scenario = GetParam();
  UpdaterRun run;
  const auto key = run.AttachKey();
  const InterruptDuring interruption(*key, scenario.command, scenario.count);
  run.interruption = &interruption;

  const RunResult result = run.Run({}, "y\n");
  EXPECT_EQ(result.out, scenario.out);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, scenario.exitCode);
  EXPECT_EQ(CommandsReceived(*key), scenario.commands);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InterruptedRun,
    ::testing::Values(
        // Opening (the synchronisation's check query) and the status query: nothing more is
        // sent, and nothing needs cancelling.
        InterruptCase{"Opening", CmdQuery, 1, Banner + Canceled, 4, {CmdQuery}},
        InterruptCase{"StatusQuery", CmdQuery, 2, Banner + Canceled, 4, {CmdQuery, CmdQuery}},
        // From the secure channel to the hash check: the key is told to cancel.
        InterruptCase{"SecureChannel", CmdHandshake, 1, Confirmed + Interrupted + Canceled, 4,
                      Then(Secured, CmdCancelUpdate)},
        InterruptCase{"Setup", CmdSetup, 1, Confirmed + Interrupted + Canceled, 4,
                      Then(Then(Secured, CmdSetup), CmdCancelUpdate)},
        InterruptCase{"ThirdChunk", CmdWrite, 3,
                      Confirmed + "Writing firmware ..." + Interrupted + Canceled, 4,
                      Then(Then(Then(Secured, CmdSetup), CmdWrite, 3), CmdCancelUpdate)},
        InterruptCase{"HashCheck", CmdGetHash, 1,
                      Confirmed + "Writing firmware .............. done!\n" +
                          "Verifying firmware .. done!\n" + Interrupted + Canceled,
                      4, Then(Then(Written, CmdGetHash), CmdCancelUpdate)},
        // Deploy and the final frame finish, and their outcome stands.
        InterruptCase{"Deploy", CmdDeploy, 1,
                      Confirmed + "Writing firmware .............. done!\n" +
                          "Verifying firmware .. done!\nUpdated successfully!\n",
                      0, Then(Then(Then(Written, CmdGetHash), CmdDeploy), CmdFinal)}),
    [](const auto& info) { return std::string(info.param.name); });

struct UnansweredCase {
  const char* name;
  std::uint8_t command;
  unsigned count;
  unsigned requestNumber;  // of that request among all the key received
  std::string out;
  Commands commands;
};

class InterruptedWhileUnanswered : public ::testing::TestWithParam<UnansweredCase> {};

// The key takes a request and never answers it, and the user gives up waiting: the run ends as
// the interruption, not with the step's error. From the secure channel on, the key is brought
// back into step (its check query) so that the one cancel request is read as such. Deploy and
// the final frame run to their end, and their failure stands.
TEST_P(InterruptedWhileUnanswered, EndsAsTheInterruption) {
  const UnansweredCase& scenario = GetParam();
  UpdaterRun run;
  const auto key = run.AttachKey();
  key->Firmware().Faults().responses.push_back(ResponseFault::Of(
      FaultTrigger::OnRequest(scenario.requestNumber), ResponseFaultKind::NoResponse));
  const InterruptDuring interruption(*key, scenario.command, scenario.count);
  run.interruption = &interruption;

  const RunResult result = run.Run({}, "y\n");
  EXPECT_EQ(result.out, scenario.out);
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(CommandsReceived(*key), scenario.commands);
}

const Commands Resynchronised = {CmdQuery, CmdCancelUpdate};
const std::string Verifying = "Writing firmware .............. done!\nVerifying firmware .";

INSTANTIATE_TEST_SUITE_P(
    Steps, InterruptedWhileUnanswered,
    ::testing::Values(
        UnansweredCase{"StatusQuery", CmdQuery, 2, 2, Banner + Canceled, {CmdQuery, CmdQuery}},
        UnansweredCase{"SecureChannel", CmdHandshake, 1, 3, Confirmed + Interrupted + Canceled,
                       Then(Secured, Resynchronised)},
        UnansweredCase{"Setup", CmdSetup, 1, 4, Confirmed + Interrupted + Canceled,
                       Then(Then(Secured, CmdSetup), Resynchronised)},
        UnansweredCase{"ThirdChunk", CmdWrite, 3, 7,
                       Confirmed + "Writing firmware .." + Interrupted + Canceled,
                       Then(Then(Then(Secured, CmdSetup), CmdWrite, 3), Resynchronised)},
        UnansweredCase{"HashCheck", CmdGetHash, 1, 19,
                       Confirmed + Verifying + Interrupted + Canceled,
                       Then(Then(Written, CmdGetHash), Resynchronised)},
        UnansweredCase{"Deploy", CmdDeploy, 1, 20,
                       Confirmed + Verifying + ". done!\n[ERROR  ] Failed to deploy firmware.\n" +
                           "[ERROR  ] Failed to cancel update request: DeviceError\n" + Canceled,
                       Then(Then(Written, CmdGetHash), CmdDeploy)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnexpectedFailure, BeforeTheKeyIsReachedEndsTheRunWithOneErrorLine) {
  UpdaterRun run;
  run.makeEnumerator = []() -> std::unique_ptr<KvUsbEnumerator> { throw std::bad_alloc(); };
  const RunResult result = run.Run();
  EXPECT_EQ(result.out, Banner + "[ERROR  ] Unexpected failure: std::bad_alloc\n" + Canceled);
  EXPECT_EQ(result.exitCode, 4);
}

// A run for scripts gets its result line all the same, the human text going to standard error.
TEST(UnexpectedFailure, EndsTheRecordOfARunForScriptsAsFailed) {
  UpdaterRun run;
  run.makeEnumerator = []() -> std::unique_ptr<KvUsbEnumerator> { throw std::bad_alloc(); };
  const RunResult result = run.Run({L"--json", L"--yes"});
  EXPECT_EQ(result.err, Banner + "[ERROR  ] Unexpected failure: std::bad_alloc\n" + Canceled);
  const std::string resultLine =
      "{\"event\":\"result\",\"schema\":1,\"exit_code\":4,\"outcome\":\"failed\","
      "\"message\":\"Unexpected failure: std::bad_alloc\",\"key\":null,"
      "\"firmware_before\":null,\"firmware_after\":null,\"image_sha256\":\"";
  EXPECT_EQ(result.out.substr(0, resultLine.size()), resultLine);
  EXPECT_EQ(result.out.size(), resultLine.size() + 64 + 3);  // the hex, "\"}" and "\n"
  EXPECT_EQ(result.exitCode, 4);
}

TEST(UnexpectedFailure, MidWriteIsFollowedByOneCancelRequest) {
  UpdaterRun run;
  const auto key = run.AttachKey();
  const ThrowDuringWrite failingAllocation(*key, 3);
  run.interruption = &failingAllocation;
  const RunResult result = run.Run({}, "y\n");
  EXPECT_EQ(result.out, Confirmed + "Writing firmware ..." +
                            "[ERROR  ] Unexpected failure: std::bad_alloc\n" + Canceled);
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(CommandsReceived(*key),
            Then(Then(Then(Secured, CmdSetup), CmdWrite, 3), CmdCancelUpdate));
}

}  // namespace
}  // namespace nevrik::test
