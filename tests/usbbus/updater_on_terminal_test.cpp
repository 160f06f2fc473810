// The shipped updater as a user runs it: on a terminal (a pseudo-terminal here, with its output
// collected through a pipe), against a simulated key on the emulated USB bus, interrupted with
// Ctrl+C or signals, or left waiting by a key that stops answering.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "sim/sim_key.h"
#include "tests/support/key_requests.h"
#include "tests/support/program_under_test.h"
#include "tests/support/updater_texts.h"
#include "usb/transfer_timeouts.h"
#include "usbbus/emulated_usb_bus.h"

namespace nevrik::test {
namespace {

const std::string Updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);

const std::string& Confirmed = AskedToUpdateFrom15;
const std::string& Interrupted = InterruptedWarning;

// Far beyond any wait of a working run; only a run that hangs comes near it.
constexpr int HangGuardMilliseconds = static_cast<int>(BulkInTransferTimeout) + 30000;

// A simulated key that, when asked to, keeps the answer to one request back until the test lets
// it go: the key is busy with that request for as long as the test needs. The bus calls it on its
// own thread.
class HoldingKey final : public SimUsbFunction {
 public:
  explicit HoldingKey(SimKeyFirmwareConfig firmware = {}) : key({}, std::move(firmware)) {}

  // Holds the answer to the count-th request of command.
  void HoldAnswerTo(std::uint8_t command, unsigned count) {
    const std::lock_guard lock(mutex);
    heldCommand = command;
    heldCount = count;
  }
  // Waits until the key holds that answer back and the host is asking for it.
  bool WaitUntilHolding() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(HangGuardMilliseconds),
                            [this] { return holding; });
  }
  void Release() {
    const std::lock_guard lock(mutex);
    heldCount = 0;
  }
  Commands CommandsReceived() {
    const std::lock_guard lock(mutex);
    Commands commands;
    for (const KeyRequestRecord& request : key.Firmware().Requests()) {
      commands.push_back(request.command);
    }
    return commands;
  }
  SimKey& Key() { return key; }

  std::vector<std::uint8_t> DeviceDescriptor() const override { return key.DeviceDescriptor(); }
  std::vector<std::uint8_t> ConfigurationDescriptor() const override {
    return key.ConfigurationDescriptor();
  }
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> data) override {
    const std::lock_guard lock(mutex);
    return key.Control(setup, data);
  }
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
    const std::lock_guard lock(mutex);
    return key.OutPacket(endpoint, packet);
  }
  UsbInPacket InPacket(std::uint8_t endpoint) override {
    const std::lock_guard lock(mutex);
    if (heldCount != 0 && ReceivedOfHeldCommand() >= heldCount) {
      holding = true;
      changed.notify_all();
      return UsbInPacket{UsbInPacket::Kind::Nak, {}};
    }
    return key.InPacket(endpoint);
  }

 private:
  unsigned ReceivedOfHeldCommand() const {
    unsigned received = 0;
    for (const KeyRequestRecord& request : key.Firmware().Requests()) {
      received += request.command == heldCommand ? 1 : 0;
    }
    return received;
  }

  SimKey key;
  std::mutex mutex;
  std::condition_variable changed;
  std::uint8_t heldCommand = 0;
  unsigned heldCount = 0;
  bool holding = false;
};

// nevrik-update started with a pseudo-terminal as its controlling terminal and standard input,
// and a pipe for its standard output and error, so the transcript is the program's own text.
class UpdaterOnTerminal {
 public:
  // With a folder: the updater works in it, with core files of any size allowed.
  explicit UpdaterOnTerminal(const char* folder = nullptr) {
    int output[2];
    if (pipe(output) != 0) {
      return;
    }
    pid = forkpty(&controller, nullptr, nullptr, nullptr);
    if (pid == 0) {
      // As a shell starts it: this process ignores SIGPIPE (umockdev does), a shell's child not.
      signal(SIGPIPE, SIG_DFL);
      if (folder != nullptr) {
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        if (chdir(folder) != 0 || setrlimit(RLIMIT_CORE, &unlimited) != 0) {
          _exit(126);
        }
      }
      dup2(output[1], STDOUT_FILENO);
      dup2(output[1], STDERR_FILENO);
      close(output[0]);
      close(output[1]);
      execl(Updater.c_str(), Updater.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(output[1]);
    outputPipe = output[0];
  }
  ~UpdaterOnTerminal() {
    if (pid > 0 && exitCode < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (outputPipe >= 0) {
      close(outputPipe);
    }
    close(controller);
  }
  UpdaterOnTerminal(const UpdaterOnTerminal&) = delete;
  UpdaterOnTerminal& operator=(const UpdaterOnTerminal&) = delete;

  bool Started() const { return pid > 0; }

  // What the user types; "\x03" is Ctrl+C, which the terminal turns into SIGINT.
  void Type(const std::string& text) const {
    ASSERT_EQ(write(controller, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Collects the output until it ends with expected (or the program's output ends).
  bool WaitForOutput(const std::string& expected) {
    while (output.size() < expected.size() ||
           output.compare(output.size() - expected.size(), expected.size(), expected) != 0) {
      if (!ReadSomeOutput()) {
        return false;
      }
    }
    return true;
  }

  // The reader of the output goes away, as `| tee` after Ctrl+C or a pager that was quit.
  void CloseOutput() {
    close(outputPipe);
    outputPipe = -1;
  }

  // Sends the signal and waits until the program has taken it: it is no longer pending. Taken by
  // libusb's event thread, it is passed on to the main thread and may show as pending once more.
  void Signal(int signalNumber) const {
    ASSERT_EQ(kill(pid, signalNumber), 0);
    bool pending = true;
    for (int look = 0; look < HangGuardMilliseconds && pending; ++look) {
      pending = IsPending(signalNumber);
      if (pending) {
        usleep(1000);
      }
    }
    ASSERT_FALSE(pending);
  }

  // Reads the output to its end and gives the exit code, or 128 + the signal that ended it.
  int Finish() {
    while (outputPipe >= 0 && ReadSomeOutput()) {
    }
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return exitCode;
  }
  // After Finish: as waitpid gave it.
  int Status() const { return status; }

  bool EchoIsOn() const {
    termios mode{};
    EXPECT_EQ(tcgetattr(controller, &mode), 0);
    return (mode.c_lflag & ECHO) != 0;
  }

  const std::string& Output() const { return output; }

  // The running updater's core file limit as the kernel shows it: "soft hard".
  std::string CoreFileLimit() const {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    const std::string name = "Max core file size";
    for (std::string line; std::getline(limits, line);) {
      if (line.rfind(name, 0) == 0) {
        std::istringstream fields(line.substr(name.size()));
        std::string soft;
        std::string hard;
        fields >> soft >> hard;
        return soft + " " + hard;
      }
    }
    return "";
  }

 private:
  bool ReadSomeOutput() {
    pollfd readable{outputPipe, POLLIN, 0};
    if (poll(&readable, 1, HangGuardMilliseconds) != 1) {
      ADD_FAILURE() << "the updater hangs; its output so far: " << output;
      return false;
    }
    char buffer[512];
    const ssize_t count = read(outputPipe, buffer, sizeof buffer);
    if (count <= 0) {
      return false;
    }
    output.append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  // From the kernel's view of the process: pending for the process or for its thread.
  bool IsPending(int signalNumber) const {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const unsigned long long bit = 1ULL << (signalNumber - 1);
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigPnd:", 0) == 0 || line.rfind("ShdPnd:", 0) == 0) {
        if ((std::stoull(line.substr(7), nullptr, 16) & bit) != 0) {
          return true;
        }
      }
    }
    return false;
  }

  pid_t pid = -1;
  int controller = -1;
  int outputPipe = -1;
  int exitCode = -1;
  int status = 0;
  std::string output;
};

const Commands ThreeChunks = Then(Then(Then(StatusRead, CmdHandshake), CmdSetup), CmdWrite, 3);
const Commands Written = Then(Then(Then(StatusRead, CmdHandshake), CmdSetup), CmdWrite, 14);

class UpdaterOnTerminalTest : public ::testing::Test {
 protected:
  std::shared_ptr<HoldingKey> PlugKey(SimKeyFirmwareConfig firmware = {}) {
    auto key = std::make_shared<HoldingKey>(std::move(firmware));
    bus.Plug(key);
    return key;
  }

  // The update confirmed, and the key holding back its answer to the count-th request of
  // command.
  static void ConfirmUntilTheKeyHolds(HoldingKey& key, UpdaterOnTerminal& updater,
                                      std::uint8_t command, unsigned count) {
    key.HoldAnswerTo(command, count);
    ASSERT_TRUE(updater.Started());
    ASSERT_TRUE(updater.WaitForOutput(Question));
    updater.Type("y\n");
    ASSERT_TRUE(key.WaitUntilHolding());
  }

  usbbus::EmulatedUsbBus bus;
};

TEST_F(UpdaterOnTerminalTest, CtrlCAtTheConfirmationIsARefusal) {
  const auto key = PlugKey();
  UpdaterOnTerminal updater;
  ASSERT_TRUE(updater.Started());
  ASSERT_TRUE(updater.WaitForOutput(Question));
  updater.Type("\x03");
  EXPECT_EQ(updater.Finish(), 4);
  EXPECT_EQ(updater.Output(), Confirmed + "\n" + Canceled);
  EXPECT_TRUE(updater.EchoIsOn());
  EXPECT_EQ(key->CommandsReceived(), StatusRead);
}

TEST_F(UpdaterOnTerminalTest, CtrlCAtThePinPromptRestoresEchoAndSendsNothing) {
  SimKeyFirmwareConfig withPin;
  withPin.soPin = std::vector<std::uint8_t>{'4', '7', '1', '1'};
  const auto key = PlugKey(withPin);
  UpdaterOnTerminal updater;
  ASSERT_TRUE(updater.Started());
  ASSERT_TRUE(updater.WaitForOutput(Question));
  updater.Type("y\n");
  ASSERT_TRUE(updater.WaitForOutput("SO PIN: "));
  EXPECT_FALSE(updater.EchoIsOn());
  updater.Type("47\x03");
  EXPECT_EQ(updater.Finish(), 4);
  EXPECT_EQ(updater.Output(), Confirmed + "SO PIN: \n" + Canceled);
  EXPECT_TRUE(updater.EchoIsOn());
  EXPECT_EQ(key->CommandsReceived(), StatusRead);
}

class InterruptMidWrite : public UpdaterOnTerminalTest,
                          public ::testing::WithParamInterface<int> {};

// The signal comes while the key works on the third chunk: that request completes, then the key
// is told to cancel.
TEST_P(InterruptMidWrite, CancelsOnTheKeyAfterTheChunkInFlight) {
  const auto key = PlugKey();
  UpdaterOnTerminal updater;
  ASSERT_NO_FATAL_FAILURE(ConfirmUntilTheKeyHolds(*key, updater, CmdWrite, 3));
  updater.Signal(GetParam());
  key->Release();
  EXPECT_EQ(updater.Finish(), 4);
  EXPECT_EQ(updater.Output(), Confirmed + "Writing firmware ..." + Interrupted + Canceled);
  EXPECT_EQ(key->CommandsReceived(), Then(ThreeChunks, CmdCancelUpdate));
  EXPECT_TRUE(updater.EchoIsOn());
}

INSTANTIATE_TEST_SUITE_P(CtrlCTerminateAndHangUp, InterruptMidWrite,
                         ::testing::Values(SIGINT, SIGTERM, SIGHUP));

class EndedAtOnce : public UpdaterOnTerminalTest,
                    public ::testing::WithParamInterface<std::vector<int>> {};

// A second Ctrl+C, or Ctrl+\ at once, ends the process as the signal would, with echo on. The
// session keys are in memory: though its parent allows core files, none is written. The updater's
// own limit of 1 byte, which no core dump passes whatever the machine's core pattern, is checked
// as well: with this machine's settings the dumpable flag alone would keep the folder empty.
TEST_P(EndedAtOnce, ByTheSignalWithEchoOnAndNoCoreFile) {
  char folder[] = "/tmp/nevrik-core-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const auto key = PlugKey();
  {
    UpdaterOnTerminal updater(folder);
    ASSERT_NO_FATAL_FAILURE(ConfirmUntilTheKeyHolds(*key, updater, CmdWrite, 3));
    EXPECT_EQ(updater.CoreFileLimit(), "1 1");
    for (const int signalNumber : GetParam()) {
      updater.Signal(signalNumber);
    }
    EXPECT_EQ(updater.Finish(), 128 + GetParam().back());
    EXPECT_FALSE(WCOREDUMP(updater.Status()));
    EXPECT_EQ(updater.Output(), Confirmed + "Writing firmware ..");
    EXPECT_TRUE(updater.EchoIsOn());
  }
  key->Release();
  EXPECT_EQ(key->CommandsReceived(), ThreeChunks);
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(SecondCtrlCAndQuit, EndedAtOnce,
                         ::testing::Values(std::vector<int>{SIGINT, SIGINT},
                                           std::vector<int>{SIGQUIT}));

class OutputClosedMidWrite : public UpdaterOnTerminalTest,
                             public ::testing::WithParamInterface<bool> {};

// Nobody reads the output any more: its writes fail, and the run goes on as if they had not. A
// closed output alone is no interruption, and the update is done; with Ctrl+C (to `tee` and the
// updater alike) the key is told to cancel.
TEST_P(OutputClosedMidWrite, NeverCutsARequestOff) {
  const bool interrupted = GetParam();
  const auto key = PlugKey();
  UpdaterOnTerminal updater;
  ASSERT_NO_FATAL_FAILURE(ConfirmUntilTheKeyHolds(*key, updater, CmdWrite, 3));
  if (interrupted) {
    updater.Signal(SIGINT);
  }
  updater.CloseOutput();
  key->Release();
  EXPECT_EQ(updater.Finish(), interrupted ? 4 : 0);
  EXPECT_EQ(key->CommandsReceived(),
            interrupted ? Then(ThreeChunks, CmdCancelUpdate)
                        : Then(Then(Then(Written, CmdGetHash), CmdDeploy), CmdFinal));
}

INSTANTIATE_TEST_SUITE_P(AloneAndWithCtrlC, OutputClosedMidWrite, ::testing::Bool());

TEST_F(UpdaterOnTerminalTest, InterruptDuringDeployLetsTheUpdateFinish) {
  const auto key = PlugKey();
  UpdaterOnTerminal updater;
  ASSERT_NO_FATAL_FAILURE(ConfirmUntilTheKeyHolds(*key, updater, CmdDeploy, 1));
  updater.Signal(SIGINT);
  key->Release();
  EXPECT_EQ(updater.Finish(), 0);
  EXPECT_EQ(updater.Output(), Confirmed + "Writing firmware .............. done!\n" +
                                  "Verifying firmware .. done!\nUpdated successfully!\n");
  EXPECT_EQ(key->CommandsReceived(), Then(Then(Then(Written, CmdGetHash), CmdDeploy), CmdFinal));
}

// The key takes the third chunk and falls silent, and the user presses Ctrl+C: the wait for the
// answer runs out, then the run ends as the interruption. The key is synchronised (its check
// query) before the one cancel request, so that request and its answer are read in step.
TEST_F(UpdaterOnTerminalTest, CtrlCWhileTheKeyIsSilentMidWriteIsAnInterruption) {
  const auto key = PlugKey();
  key->Key().Firmware().Faults().responses.push_back(
      ResponseFault::Of(FaultTrigger::OnRequest(7), ResponseFaultKind::NoResponse));
  UpdaterOnTerminal updater;
  ASSERT_NO_FATAL_FAILURE(ConfirmUntilTheKeyHolds(*key, updater, CmdWrite, 3));
  updater.Signal(SIGINT);
  key->Release();  // the key has no answer to give
  EXPECT_EQ(updater.Finish(), 4);
  EXPECT_EQ(updater.Output(), Confirmed + "Writing firmware .." + Interrupted + Canceled);
  EXPECT_EQ(key->CommandsReceived(), Then(Then(ThreeChunks, CmdQuery), CmdCancelUpdate));
  EXPECT_TRUE(updater.EchoIsOn());
}

// The key takes the third chunk and never answers: the read gives up after the bulk IN time-out,
// and the run ends in the write's failure row. The session cannot trust the key's answers any
// more, so the cancel request fails without going out, and says so.
TEST_F(UpdaterOnTerminalTest, KeyThatStopsAnsweringMidWriteEndsTheRun) {
  const auto key = PlugKey();
  key->Key().Firmware().Faults().responses.push_back(
      ResponseFault::Of(FaultTrigger::OnRequest(7), ResponseFaultKind::NoResponse));
  UpdaterOnTerminal updater;
  ASSERT_TRUE(updater.Started());
  ASSERT_TRUE(updater.WaitForOutput(Question));
  updater.Type("y\n");
  EXPECT_EQ(updater.Finish(), 4);
  EXPECT_EQ(updater.Output(), Confirmed + "Writing firmware .." +
                                  "[ERROR  ] Write request failed: DeviceError\n"
                                  "[ERROR  ] Failed to cancel update request: DeviceError\n" +
                                  Canceled);
  EXPECT_EQ(key->CommandsReceived(), ThreeChunks);
}

}  // namespace
}  // namespace nevrik::test
