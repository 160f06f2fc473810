#include "app/firmware_pack.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/log.h"
#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

class FirmwarePackTest : public ::testing::Test {
 protected:
  FirmwarePackTest()
      : saved(logSettings),
        packBytes(EmbeddedFirmwarePackData().begin(), EmbeddedFirmwarePackData().end()) {}
  ~FirmwarePackTest() override { logSettings = saved; }

  // The check's result; its log must be empty at INFO and is handed back as seen at VERBOSE.
  bool ValidateAtBothLevels(const std::vector<std::uint8_t>& bytes, std::string& verboseLog) {
    const CapturedFile out;
    logSettings = LogSettings{};
    logSettings.standardOutput = out.File();
    logSettings.logStream = out.File();
    const bool quiet = ValidatePack(FirmwarePack(bytes));
    EXPECT_EQ(out.Text(), "");
    logSettings.logLevel = static_cast<int>(LogLevel::Verbose);
    const bool result = ValidatePack(FirmwarePack(bytes));
    EXPECT_EQ(quiet, result);
    verboseLog = out.Text();
    logSettings = saved;
    return result;
  }

  LogSettings saved;
  std::vector<std::uint8_t> packBytes;
};

TEST_F(FirmwarePackTest, EmbeddedPackPassesAndDescribesItsImage) {
  std::string log;
  EXPECT_TRUE(ValidateAtBothLevels(packBytes, log));
  EXPECT_EQ(log, "");

  const FirmwarePack pack(EmbeddedFirmwarePackData());
  EXPECT_EQ(pack.Data().size(), 113760u);
  EXPECT_EQ(pack.ImageSize(), 113736u);
  EXPECT_EQ(pack.Image().size(), 113736u);
  EXPECT_EQ(pack.Image().data(), pack.Data().data() + 24);
  const std::vector<std::uint8_t> setup(pack.SetupParameters().begin(),
                                        pack.SetupParameters().end());
  EXPECT_EQ(setup, (std::vector<std::uint8_t>{0x08, 0x00, 0x06, 0x60, 0xFF, 0x00, 0xFF, 0xFF, 0x48,
                                              0xBC, 0x01, 0x00}));
  EXPECT_EQ(TargetVersion.versionMajor, 2u);
  EXPECT_EQ(TargetVersion.versionMinor, 0u);
}

TEST_F(FirmwarePackTest, EveryMagicByteCounts) {
  for (std::size_t i = 0; i < 8; ++i) {
    std::vector<std::uint8_t> bytes = packBytes;
    bytes[i] ^= 0x20;
    std::string log;
    EXPECT_FALSE(ValidateAtBothLevels(bytes, log)) << "byte " << i;
    EXPECT_EQ(log, "[VERBOSE] Firmware pack file is not valid pack format.\n");
  }
}

TEST_F(FirmwarePackTest, WrongHeaderLengthIsBroken) {
  std::vector<std::uint8_t> bytes = packBytes;
  bytes[8] = 25;
  std::string log;
  EXPECT_FALSE(ValidateAtBothLevels(bytes, log));
  EXPECT_EQ(log, "[VERBOSE] Firmware pack file is broken.\n");
}

TEST_F(FirmwarePackTest, ImageSizeMustMatchTheDataExactly) {
  for (const int delta : {-1, +1}) {
    std::vector<std::uint8_t> bytes = packBytes;
    if (delta > 0) {
      bytes.push_back(0);
    } else {
      bytes.pop_back();
    }
    std::string log;
    EXPECT_FALSE(ValidateAtBothLevels(bytes, log)) << delta;
    EXPECT_EQ(log, "[VERBOSE] Firmware pack file is broken.\n");
  }
}

TEST_F(FirmwarePackTest, ImageOutsideTheDataIsNeverHandedOut) {
  std::vector<std::uint8_t> bytes(packBytes.begin(), packBytes.begin() + 100);
  const FirmwarePack pack(bytes);
  EXPECT_EQ(pack.ImageSize(), 113736u);
  EXPECT_TRUE(pack.Image().empty());
  const std::vector<std::uint8_t> shortPack(packBytes.begin(), packBytes.begin() + 10);
  std::string log;
  EXPECT_FALSE(ValidateAtBothLevels(shortPack, log));
  EXPECT_EQ(log, "[VERBOSE] Firmware pack file is not valid pack format.\n");
}

}  // namespace
}  // namespace nevrik
