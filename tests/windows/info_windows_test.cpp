// nevrik-info's Windows build against the faked WinUSB and SetupAPI: one key found, brought into
// a known state, queried and released, reported with what the platform says of its USB side.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "info/info_program.h"
#include "tests/support/captured_file.h"
#include "tests/windows/fake_platform.h"
#include "usb/platform_enumerator.h"

namespace nevrik {
namespace {

using Json = nlohmann::ordered_json;

const std::wstring KeyPath =
    L"\\\\?\\usb#vid_1209&pid_4e56&mi_02#7&1a2b3c4d&0&0002#"
    L"{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}";

// A response frame: magic "NVKW", sequence, status 0, length, payload.
std::vector<std::uint8_t> Response(std::uint8_t sequence,
                                   const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> frame(8 + payload.size(), 0);
  frame[0] = 'N';
  frame[1] = 'V';
  frame[2] = 'K';
  frame[3] = 'W';
  frame[4] = sequence;
  frame[6] = static_cast<std::uint8_t>(payload.size());
  frame[7] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), frame.begin() + 8);
  return frame;
}

// The key's answers: synchronised, then its status (firmware 1.5, SO PIN set).
void AnswerOneKey(FakePlatform& platform) {
  platform.endpoints = {{UsbdPipeTypeBulk, 0x02, 64}, {UsbdPipeTypeBulk, 0x83, 64}};
  // Every endpoint reports halted until the first reset clears it.
  platform.controlReply = {1, 0};
  platform.onCall = [&platform](const std::string& call) {
    if (call.starts_with("WinUsb_ResetPipe")) {
      platform.controlReply = {0, 0};
    }
  };
  std::vector<std::uint8_t> status(108, 0);
  status[1] = 0x01;  // SO PIN set
  status[102] = 1;
  status[103] = 5;
  const std::vector<std::uint8_t> statusFrame = Response(2, status);
  platform.reads = {{Response(1, {1, 0, 0, 0})},
                    {{statusFrame.begin(), statusFrame.begin() + 64}},
                    {{statusFrame.begin() + 64, statusFrame.end()}}};
}

TEST(InfoOnWindows, ReadsTheKeyAndReleasesIt) {
  FakePlatform platform;
  const FakePlatform::Installation installation(platform);
  platform.interfaces = {{KeyPath}};
  AnswerOneKey(platform);

  test::CapturedFile out;
  test::CapturedFile err;
  UpdaterEnvironment environment;
  environment.streams = {stdin, out.File(), err.File()};
  environment.makeEnumerator = MakePlatformEnumerator;
  const wchar_t* arguments[] = {L"nevrik-info", L"--json", L"--verbose", nullptr};
  EXPECT_EQ(RunInfo(3, arguments, environment), ExitCode::ExitOk);

  const Json endpoints = {{{"address", "0x02"}, {"direction", "out"}, {"max_packet_size", 64}},
                          {{"address", "0x83"}, {"direction", "in"}, {"max_packet_size", 64}}};
  // An interface of a composite device: its instance ID carries no serial number.
  const Json key = {{"path", std::string(KeyPath.begin(), KeyPath.end())},
                    {"serial", nullptr},
                    {"location", nullptr},
                    {"access", "ok"},
                    {"firmware", "1.5"},
                    {"so_pin", "set"},
                    {"update", "available"},
                    {"usb",
                     {{"vendor_id", "1209"},
                      {"product_id", "4e56"},
                      {"interface", 0},
                      {"endpoints", endpoints},
                      {"interface_guid", "{EB3FB26E-7AC7-4D70-B7A7-F347623E99B6}"}}}};
  const Json document = Json::parse(out.Text());
  EXPECT_EQ(document["keys"], Json::array({key})) << out.Text();
  EXPECT_EQ(err.Text(), "");
  EXPECT_TRUE(platform.OpenHandles().empty());
  EXPECT_TRUE(platform.reads.empty());
}

// Windows reports serial numbers in its own case: --device names a key by its serial number
// whatever the case, and the other key is never opened.
TEST(InfoOnWindows, SelectsAKeyBySerialNumberWithoutRegardToCase) {
  const std::wstring other =
      L"\\\\?\\usb#vid_1209&pid_0001#nvk0413#{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}";
  const std::wstring chosen =
      L"\\\\?\\usb#vid_1209&pid_0001#nvk0977#{eb3fb26e-7ac7-4d70-b7a7-f347623e99b6}";
  FakePlatform platform;
  const FakePlatform::Installation installation(platform);
  platform.interfaces = {{other}, {chosen}};
  AnswerOneKey(platform);

  test::CapturedFile out;
  test::CapturedFile err;
  UpdaterEnvironment environment;
  environment.streams = {stdin, out.File(), err.File()};
  environment.makeEnumerator = MakePlatformEnumerator;
  const wchar_t* arguments[] = {L"nevrik-info", L"--json", L"--device=NVK0977", nullptr};
  EXPECT_EQ(RunInfo(3, arguments, environment), ExitCode::ExitOk);

  const Json keys = Json::parse(out.Text())["keys"];
  ASSERT_EQ(keys.size(), 1u) << out.Text();
  EXPECT_EQ(keys[0]["path"], std::string(chosen.begin(), chosen.end()));
  EXPECT_EQ(keys[0]["serial"], "nvk0977");
  EXPECT_EQ(err.Text(), "");
  const std::string otherPath(other.begin(), other.end());
  for (const std::string& call : platform.Calls()) {
    EXPECT_EQ(call.find(otherPath), std::string::npos) << call;
  }
}

}  // namespace
}  // namespace nevrik
