// The SO PIN from a descriptor (--so-pin-fd): which descriptors are taken, and that a run closes
// the one it was given, whether it read the PIN or not.
#include "app/so_pin_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/app/updater_run.h"
#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

class Pipe {
 public:
  explicit Pipe(const std::string& content) {
    if (pipe(ends) == 0) {
      EXPECT_EQ(write(ends[1], content.data(), content.size()),
                static_cast<ssize_t>(content.size()));
      close(ends[1]);
    }
  }
  ~Pipe() {
    if (IsOpen()) {
      close(ends[0]);
    }
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  std::wstring Option() const { return L"--so-pin-fd=" + std::to_wstring(ends[0]); }
  bool IsOpen() const { return fcntl(ends[0], F_GETFD) != -1 || errno != EBADF; }

 private:
  int ends[2] = {-1, -1};
};

TEST(SoPinDescriptorTest, RefusesWhatNamesNoDescriptorToReadFrom) {
  int writeOnly[2];
  ASSERT_EQ(pipe(writeOnly), 0);
  const std::wstring writeEnd = std::to_wstring(writeOnly[1]);
  for (const std::wstring& text :
       {std::wstring(L""), std::wstring(L"1"), std::wstring(L"2"), std::wstring(L"-3"),
        std::wstring(L"+0"), std::wstring(L"0x3"), std::wstring(L" 0"),
        std::wstring(L"99999999999999999999"), std::wstring(L"1000000"), writeEnd}) {
    const CapturedFile err;
    EXPECT_EQ(SoPinDescriptor(text.c_str(), err.File()), std::nullopt);
    EXPECT_EQ(err.Text(), "no SO PIN can be read from descriptor -- " +
                              std::string(text.begin(), text.end()) + "\n");
  }
  EXPECT_EQ(SoPinDescriptor(L"0", stderr), 0);
  close(writeOnly[0]);
  close(writeOnly[1]);
}

struct ClosingCase {
  const char* name;
  const char* pin;  // the key's; null: none
  bool attached;
  int exitCode;
};

class SoPinDescriptorClosed : public ::testing::TestWithParam<ClosingCase> {};

TEST_P(SoPinDescriptorClosed, AtTheEndOfTheRun) {
  const ClosingCase& closing = GetParam();
  test::UpdaterRun run;
  if (closing.attached) {
    SimKeyFirmwareConfig firmware;
    if (closing.pin != nullptr) {
      firmware.soPin = std::vector<std::uint8_t>(closing.pin, closing.pin + 4);
    }
    run.AttachKey(firmware);
  }
  const Pipe pin("4711\n");
  EXPECT_EQ(run.Run({L"--yes", pin.Option()}).exitCode, closing.exitCode);
  EXPECT_FALSE(pin.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Runs, SoPinDescriptorClosed,
                         ::testing::Values(ClosingCase{"PinRead", "4711", true, 0},
                                           ClosingCase{"WrongPinRead", "0000", true, 4},
                                           ClosingCase{"NoPinNeeded", nullptr, true, 0},
                                           ClosingCase{"NoKey", nullptr, false, 3}),
                         [](const ::testing::TestParamInfo<ClosingCase>& info) {
                           return info.param.name;
                         });

}  // namespace
}  // namespace nevrik
