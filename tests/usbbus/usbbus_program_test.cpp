// nevrik-usbbus as people and the end-to-end tests use it: plug in devices, run a command against
// them, read what each simulated key reports.
#include <cryptopp/hex.h>
#include <cryptopp/sha.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "app/firmware_pack.h"
#include "tests/support/program_under_test.h"
#include "tests/support/run_program.h"
#include "tests/support/updater_texts.h"
#include "usbbus/emulated_usb_bus.h"

namespace nevrik::test {
namespace {

const std::string Updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);

using usbbus::UnprivilegedUser;
using usbbus::UserIds;

const std::string Updatable = "NEVRIK can be updated. ver.1.5 -> ver.2.0\n" + Caution;
const std::string Node = "/dev/bus/usb/001/002";

ProgramResult RunUnderBus(const std::vector<std::string>& arguments,
                          const std::vector<std::string>& environment = {"LC_ALL=C.UTF-8"}) {
  // A file on standard input, no terminal: nevrik-usbbus answers the prompts itself.
  return RunProgram(NEVRIK_USBBUS_PATH, arguments, "", environment);
}

// The one figure that changes from run to run.
std::string WithoutTime(const std::string& out) {
  return std::regex_replace(out, std::regex("update took    [0-9]+\\.[0-9]{2} s"),
                            "update took    T s");
}

std::string PackImageDigest() {
  const std::span<const std::uint8_t> image = FirmwarePack(EmbeddedFirmwarePackData()).Image();
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, image.data(), image.size());
  std::string hex;
  CryptoPP::HexEncoder encoder(new CryptoPP::StringSink(hex), false);
  encoder.Put(digest, sizeof digest);
  encoder.MessageEnd();
  return hex;
}

// The hex after a label in the output, e.g. "Hash mismatch: ".
std::string HexAfter(const std::string& out, const std::string& label) {
  std::smatch found;
  return std::regex_search(out, found, std::regex(label + "([0-9a-f]{64})")) ? found[1].str() : "";
}

// The repository's build carries test data: a key announcing any other identity than the
// simulated key's receives nothing at all, and --verbose names the key found either way.
TEST(UsbBusProgram, TestDataNeverReachesAKeyOfAnotherIdentity) {
  const std::string refusal =
      "[ERROR  ] This updater carries test data, not firmware: it updates only simulated NEVRIK "
      "keys (USB 1209:0001).\n";
  struct Case {
    std::string key;
    std::vector<std::string> options;
    std::string output;  // from the banner on, up to the first line of the key's report
    int exitCode;
    std::string requests;
  };
  const std::vector<Case> cases = {
      {"--key=usb-id=20a0:4287", {}, Banner + refusal, 6, "0"},
      {"--key=usb-id=1209:0002,serial=X", {}, Banner + refusal, 6, "0"},
      {"--key=usb-id=20a0:4287,serial=\x1b]0;x\x07",
       {"--verbose"},
       Banner +
           "[VERBOSE] Found NEVRIK /dev/bus/usb/001/002: serial \"\\x1b]0;x\\x07\", location "
           "1-1, USB 20a0:4287.\n" +
           refusal,
       6,
       "0"},
      {"--key=firmware=2.0,serial=R1,port=3",
       {"--verbose"},
       Banner + "[VERBOSE] Found NEVRIK /dev/bus/usb/001/002: serial \"R1\", location 1-3, USB "
                "1209:0001.\n"
                "Current firmware is ver.2.0. No update is needed.\n",
       1,
       "2: Query 2"},
  };
  for (const Case& test : cases) {
    std::vector<std::string> arguments{test.key, "--", Updater};
    arguments.insert(arguments.end(), test.options.begin(), test.options.end());
    const ProgramResult result = RunUnderBus(arguments);
    const std::size_t start = result.out.find('\n') + 1;
    EXPECT_EQ(result.out.substr(start, result.out.find("usbbus: nevrik-update exited") - start),
              test.output)
        << test.key;
    EXPECT_EQ(result.exitCode, test.exitCode) << test.key;
    EXPECT_NE(result.out.find("  requests       " + test.requests + "\n"), std::string::npos)
        << test.key << "\n"
        << result.out;
  }
}

TEST(UsbBusProgram, AnswersThePromptsAndReportsTheUpdateFromTheKey) {
  const ProgramResult result = RunUnderBus({"--key=packet=512,so-pin=1234", "--", Updater});
  const std::string digest = PackImageDigest();
  // The PIN reached the key: a wrong one would have been refused.
  EXPECT_EQ(WithoutTime(result.out),
            "usbbus: plugged in at " + Node +
                ": a simulated key, firmware 1.5, SO PIN 1234, 512-byte packets\n" + Banner +
                Updatable + Question + "y\nSO PIN: \n" +
                "Writing firmware .............. done!\n"
                "Verifying firmware .. done!\n"
                "Updated successfully!\n"
                "usbbus: nevrik-update exited with 0\n"
                "usbbus: the simulated key at " +
                Node +
                " reports:\n"
                "  firmware       1.5 -> 2.0\n"
                "  image          113736 of 113736 bytes received, installed\n"
                "  image SHA-256  " +
                digest +
                "\n"
                "  pack SHA-256   " +
                digest +
                " (match)\n"
                "  requests       21: Query 2, Handshake 1, Setup 1, Write 14, GetHash 1, "
                "Deploy 1, Final 1\n"
                "  USB            12 control requests; bulk OUT 21 transfers, 243 packets; bulk "
                "IN 20 packets\n"
                "  update took    T s\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 0);
}

// The report is the key's own: it tells the digest of what arrived, whatever the host decided.
TEST(UsbBusProgram, KeyReportsAnImageDamagedOnTheWay) {
  const ProgramResult result = RunUnderBus({"--key=corrupt-write=3", "--", Updater});
  const std::string received = HexAfter(result.out, "Hash mismatch: ");
  ASSERT_FALSE(received.empty()) << result.out;
  EXPECT_NE(received, PackImageDigest());
  EXPECT_NE(result.out.find("  firmware       1.5 -> 1.5\n"
                            "  image          113736 of 113736 bytes received, not installed\n"
                            "  image SHA-256  " +
                            received + "\n  pack SHA-256   " + PackImageDigest() + " (mismatch)\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.exitCode, 4);
}

TEST(UsbBusProgram, KeyReportsTheImageIntactWhenOnlyItsHashAnswerLies) {
  const ProgramResult result = RunUnderBus({"--key=fault=hash-corrupted", "--", Updater});
  EXPECT_NE(HexAfter(result.out, "Hash mismatch: "), "");
  EXPECT_EQ(HexAfter(result.out, "image SHA-256  "), PackImageDigest());
  EXPECT_NE(result.out.find(" (match)\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.exitCode, 4);
}

TEST(UsbBusProgram, KeyPulledOutMidWriteEndsTheUpdate) {
  const ProgramResult result = RunUnderBus({"--key=unplug-after-writes=3", "--", Updater});
  EXPECT_NE(result.out.find(Question + "y\n" +
                            "Writing firmware ..[ERROR  ] Write request failed: DeviceError\n"
                            "[ERROR  ] Failed to cancel update request: DeviceError\n" +
                            Canceled + "usbbus: nevrik-update exited with 4\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("  image          24576 of 113736 bytes received, not installed\n"),
            std::string::npos);
  EXPECT_NE(result.out.find("  requests       7: Query 2, Handshake 1, Setup 1, Write 3\n"),
            std::string::npos);
  EXPECT_EQ(result.exitCode, 4);
}

// Each fault name sets the switch it stands for: the updater meets the failure it names.
TEST(UsbBusProgram, FaultNamesDriveTheUpdaterDownTheirFailurePaths) {
  struct Case {
    std::string settings;
    std::string ending;  // the updater's last lines
    int exitCode;
  };
  const std::string Canceled4 = Canceled + "usbbus: nevrik-update exited with 4\n";
  const std::string Canceled3 = Canceled + "usbbus: nevrik-update exited with 3\n";
  const std::vector<Case> cases = {
      {"fault=sync-refused", "[ERROR  ] Cannot access NEVRIK.\n" + Canceled3, 3},
      {"fault=query-wrong-sequence", "[ERROR  ] Cannot access NEVRIK.\n" + Canceled3, 3},
      {"fault=handshake-bad-key",
       "[ERROR  ] Cannot establish secure messaging: ProtocolError\n" + Canceled4, 4},
      {"fault=setup-stalled",
       "[ERROR  ] Setup request failed: DeviceError\n"
       "[ERROR  ] Failed to cancel update request: DeviceError\n" +
           Canceled4,
       4},
      {"fault=write-refused,fault=cancel-with-data",
       "Writing firmware [ERROR  ] Write request failed: OperationDenied\n"
       "[ERROR  ] Failed to cancel update request: ProtocolError\n" +
           Canceled4,
       4},
      {"fault=hash-empty", "Verifying firmware ..[ERROR  ] Empty hash is received.\n" + Canceled4,
       4},
      {"fault=deploy-header-only", "[ERROR  ] Failed to deploy firmware.\n" + Canceled4, 4},
  };
  for (const Case& test : cases) {
    const ProgramResult result = RunUnderBus({"--key=" + test.settings, "--", Updater});
    EXPECT_NE(result.out.find(test.ending + "usbbus: the simulated key at "), std::string::npos)
        << test.settings << "\n"
        << result.out;
    EXPECT_EQ(result.exitCode, test.exitCode) << test.settings;
  }
}

TEST(UsbBusProgram, EveryKeyReportsWhenSeveralArePluggedIn) {
  const ProgramResult result = RunUnderBus({"--key", "--key=firmware=1.0", "--", Updater});
  EXPECT_NE(result.out.find("[WARN   ] Found 2 NEVRIK devices; only one should be attached.\n"),
            std::string::npos);
  EXPECT_NE(result.out.find("usbbus: the simulated key at /dev/bus/usb/001/002 reports:\n"
                            "  firmware       1.5 -> 1.5\n"),
            std::string::npos);
  EXPECT_NE(result.out.find("usbbus: the simulated key at /dev/bus/usb/001/003 reports:\n"
                            "  firmware       1.0 -> 1.0\n"),
            std::string::npos);
  EXPECT_EQ(result.exitCode, 3);
}

// Run as nobody, to whom the node is closed; root could open it anyway.
TEST(UsbBusProgram, UnprivilegedUpdaterSaysWhyItFoundNoKey) {
  const ProgramResult result = RunUnderBus({"--as-user=nobody", "--key=unreadable", "--", Updater});
  EXPECT_EQ(result.out.substr(0, result.out.find("usbbus: the simulated key")),
            "usbbus: plugged in at " + Node +
                ": a simulated key, firmware 1.5, no SO PIN, 64-byte packets, node unreadable\n" +
                Banner + NotFound +
                "[WARN   ] 1 USB device could not be inspected for lack of permission. "
                "Run nevrik-update with sufficient rights, or grant access to the "
                "device node.\n" +
                Canceled + "usbbus: nevrik-update exited with 3\n");
  EXPECT_NE(result.out.find("  requests       0\n"), std::string::npos);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 3);
}

// As on a machine whose build tree sits in root's home, which nobody may not pass through: a
// compiled program and a script.
TEST(UsbBusProgram, RunsACommandAsAnotherUserFromAFolderClosedToThatUser) {
  char folder[] = "/tmp/nevrik-usbbus-test-XXXXXX";  // mode 0700
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::filesystem::path shell = std::filesystem::path(folder) / "sh";
  std::filesystem::copy_file("/bin/sh", shell);
  const std::filesystem::path script = std::filesystem::path(folder) / "script";
  std::ofstream(script) << "#!/bin/sh\nexit $(id -u)\n";
  std::filesystem::permissions(
      script, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
  const ProgramResult compiled =
      RunUnderBus({"--as-user=nobody", "--", shell.string(), "-c", "exit $(id -u)"});
  const ProgramResult scripted = RunUnderBus({"--as-user=nobody", "--", script.string()});
  std::filesystem::remove_all(folder);
  EXPECT_EQ(compiled.exitCode, static_cast<int>(UnprivilegedUser().uid & 0xFF));
  EXPECT_EQ(scripted.exitCode, static_cast<int>(UnprivilegedUser().uid & 0xFF)) << scripted.err;
  EXPECT_EQ(scripted.err, "");
}

// The top folder is root's and shared with the user's group alone; everything below it is root's
// and writable by root alone.
TEST(UsbBusProgram, CommandAsAnotherUserGetsATestbedClosedToEveryoneElseAndNoExtraGroups) {
  const ProgramResult result =
      RunUnderBus({"--as-user=nobody", "--key", "--", "/bin/sh", "-c",
                   "id -G; stat -c '%u %g %a' \"$UMOCKDEV_DIR\"; find \"$UMOCKDEV_DIR\" "
                   "-mindepth 1 ! -type l \\( ! -user 0 -o -perm /022 \\) ! -path '*/001/002'"});
  const UserIds nobody = UnprivilegedUser();
  EXPECT_NE(result.out.find(": a simulated key, firmware 1.5, no SO PIN, 64-byte packets\n" +
                            std::to_string(nobody.gid) + "\n0 " + std::to_string(nobody.gid) +
                            " 1770\nusbbus: sh exited with 0\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.err, "");
}

// Each path under a folder with its owner, group, mode and size.
std::string Listing(const std::filesystem::path& folder) {
  std::string listing;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    struct stat status {};
    lstat(entry.path().c_str(), &status);
    listing += entry.path().string() + " " + std::to_string(status.st_uid) + ":" +
               std::to_string(status.st_gid) + " " + std::to_string(status.st_mode) + " " +
               std::to_string(status.st_size) + "\n";
  }
  return listing;
}

// The command's user tries to lead root out of the testbed: it puts a link to a root folder laid
// out like the testbed's dev in dev's place, then the key is pulled mid-update, and umockdev
// removes its node and the node's folder. It also leaves folders holding links behind for root to
// remove. Root's folder is left as it was, and the updater meets the key as ever.
TEST(UsbBusProgram, CommandAsAnotherUserCannotLeadRootOutOfTheTestbed) {
  char folder[] = "/tmp/nevrik-usbbus-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::filesystem::path decoy = folder;
  std::filesystem::create_directories(decoy / "bus/usb/001");
  std::ofstream(decoy / "bus/usb/001/002") << "root's\n";
  for (const char* path : {"", "/bus", "/bus/usb", "/bus/usb/001"}) {
    chmod((decoy.string() + path).c_str(), 0755);
  }
  chmod((decoy / "bus/usb/001/002").c_str(), 0666);  // the updater could open it as the node
  const std::string before = Listing(decoy);
  // A copy of the updater that the user can start wherever the build tree is (under /root, say).
  char programFolder[] = "/tmp/nevrik-usbbus-program-XXXXXX";
  ASSERT_NE(mkdtemp(programFolder), nullptr);
  chmod(programFolder, 0755);
  const std::filesystem::path updater = std::filesystem::path(programFolder) / "nevrik-update";
  std::filesystem::copy_file(Updater, updater);
  chmod(updater.c_str(), 0755);
  const std::string attack = "cd \"$UMOCKDEV_DIR\" && pwd && { mv dev dev.moved; ln -s " +
                             decoy.string() + " dev; mkdir -p mine/a/b && ln -s " + decoy.string() +
                             " mine/a/b/link && ln -s " + decoy.string() +
                             "/bus mine/a/link; } 2>/dev/null; exec " + updater.string();
  const ProgramResult result = RunUnderBus(
      {"--as-user=nobody", "--key=unplug-after-writes=1", "--", "/bin/sh", "-c", attack});
  const std::string after = Listing(decoy);
  std::filesystem::remove_all(decoy);
  std::filesystem::remove_all(programFolder);

  EXPECT_EQ(after, before);
  std::smatch testbed;  // what pwd printed
  ASSERT_TRUE(std::regex_search(result.out, testbed, std::regex("\n(/tmp/umockdev\\.[^\n]+)\n")))
      << result.out;
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(testbed[1].str())));
  EXPECT_NE(result.out.find(Question + "y\n" +
                            "Writing firmware [ERROR  ] Write request failed: DeviceError\n"
                            "[ERROR  ] Failed to cancel update request: DeviceError\n" +
                            Canceled + "usbbus: sh exited with 4\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("  requests       5: Query 2, Handshake 1, Setup 1, Write 1\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exitCode, 4);
}

// The answer shows where a terminal would echo it only once the command has read it.
TEST(UsbBusProgram, ShowsAnAnswerOnlyOnceTheCommandHasReadIt) {
  const std::string prompt = "printf 'Are you sure to update the firmware? [y/n]: '; ";
  const ProgramResult read =
      RunUnderBus({"--", "/bin/sh", "-c", prompt + "read answer; echo \"read $answer\""});
  EXPECT_EQ(read.out, Question + "y\nread y\nusbbus: sh exited with 0\n");
  // Its input still open, a command that ends without reading.
  const ProgramResult unread = RunUnderBus({"--", "/bin/sh", "-c", prompt + "sleep 1"});
  EXPECT_EQ(unread.out, Question + "usbbus: sh exited with 0\n");
}

// As a shell does: a name without a slash is looked for on PATH, never in the current folder.
TEST(UsbBusProgram, RefusesACommandNameThatIsOnlyInTheCurrentFolder) {
  char folder[] = "/tmp/nevrik-usbbus-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::filesystem::copy_file("/bin/echo", std::filesystem::path(folder) / "only-here");
  const ProgramResult result = RunProgram(
      "/bin/sh",
      {"-c", std::string("cd ") + folder + " && exec " + NEVRIK_USBBUS_PATH + " -- only-here ran"},
      "", {"LC_ALL=C.UTF-8", "PATH=/usr/bin:/bin"});
  std::filesystem::remove_all(folder);
  EXPECT_EQ(result.out, "usbbus: only-here exited with 127\n");
  EXPECT_EQ(result.err, "nevrik-usbbus: only-here: command not found\n");
  EXPECT_EQ(result.exitCode, 127);
}

TEST(UsbBusProgram, GivesTheCommandsExitCode) {
  EXPECT_EQ(RunUnderBus({"--other-device", "--", "/bin/sh", "-c", "exit 7"}).exitCode, 7);
  EXPECT_EQ(RunUnderBus({"--", "/bin/sh", "-c", "kill -TERM $$"}).exitCode, 128 + 15);
  const ProgramResult missing = RunUnderBus({"--", "/no/such/program"});
  EXPECT_EQ(missing.err,
            "nevrik-usbbus: cannot start /no/such/program: execve: No such file or directory\n");
  EXPECT_EQ(missing.exitCode, 127);
}

TEST(UsbBusProgram, RefusesBadInputBeforePluggingAnythingIn) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--key=packet=100"}, "--key: unknown setting or bad value: packet=100"},
      {{"--key=fault=hash-wrong"}, "--key: unknown fault name: hash-wrong (see --help)"},
      {{"--key=fault=write-corrupted"}, "--key: unknown fault name: write-corrupted (see --help)"},
      {{"--key=unplug-after-writes=0"},
       "--key: unknown setting or bad value: unplug-after-writes=0"},
      {{"--other-device=so-pin=1"}, "--other-device: unknown setting or bad value: so-pin=1"},
      {{"--key", "--key=port=1"}, "port 1 of bus 1 is taken"},
      {{"--as-user=no-such-user"}, "no user no-such-user"},
      {{"--key=so-pin-locked"}, "--key: so-pin-locked needs so-pin=PIN"},
      {{"--colour"}, "unknown option: --colour"},
  };
  for (const auto& [arguments, message] : cases) {
    std::vector<std::string> commandLine = arguments;
    commandLine.insert(commandLine.end(), {"--", "/bin/echo", "ran"});
    const ProgramResult result = RunUnderBus(commandLine);
    EXPECT_EQ(result.err, "nevrik-usbbus: " + message + "\nTry 'nevrik-usbbus --help'.\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exitCode, 2);
  }
  EXPECT_EQ(RunUnderBus({"--key"}).exitCode, 2);
}

// umockdev's preload named but not there: the dynamic loader only warns, and the command would
// run against the machine's real (here: no) USB.
TEST(UsbBusProgram, SaysWhyWhenTheBusCannotBeSetUp) {
  const ProgramResult result =
      RunUnderBus({"--key", "--", "/bin/echo", "ran"},
                  {"LC_ALL=C.UTF-8", "LD_PRELOAD=/no/such/folder/libumockdev-preload.so.0"});
  EXPECT_NE(result.err.find("nevrik-usbbus: cannot set up the emulated USB bus: umockdev's "
                            "preload library libumockdev-preload.so.0 is missing (Debian package "
                            "umockdev, which tools/setup.sh run installs)\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exitCode, 125);
}

}  // namespace
}  // namespace nevrik::test
