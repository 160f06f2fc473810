// The shipped updater writing the image to a simulated key over the emulated bus, with an
// allocation counter preloaded into it (tests/support/allocation_report_preload.cpp): from one
// write frame to the next it allocates nothing itself and submits exactly two transfers, the
// frame and the read of its answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/program_under_test.h"
#include "tests/support/run_program.h"

namespace nevrik::test {
namespace {

const std::string Updater = ProgramUnderTest(NEVRIK_UPDATER_PATH);
const std::string AllocationReport = ProgramUnderTest(NEVRIK_ALLOCATION_REPORT_PATH);

// The counts the preloaded library noted as each write frame was submitted.
struct WriteFrameMark {
  std::uint64_t allocations = 0;        // outside libusb's submission
  std::uint64_t submitAllocations = 0;  // libusb's own, inside its submission
  std::uint64_t transfers = 0;
};

std::vector<WriteFrameMark> ReadMarks(const std::string& path) {
  std::vector<WriteFrameMark> marks;
  std::ifstream report(path);
  WriteFrameMark mark;
  while (report >> mark.allocations >> mark.submitAllocations >> mark.transfers) {
    marks.push_back(mark);
  }
  return marks;
}

TEST(UsbBusProgram, UpdaterWritesEachChunkWithoutAllocatingInTwoTransfers) {
  const std::string reportPath = ::testing::TempDir() + "nevrik-write-allocations";
  for (const char* key : {"--key=packet=64", "--key=packet=512"}) {
    SCOPED_TRACE(key);
    std::remove(reportPath.c_str());
    // In a sanitizer build the counter counts through the sanitizer's hooks, and AddressSanitizer
    // must be told that a library is loaded before its runtime (other builds ignore that).
    const ProgramResult result = RunProgram(
        NEVRIK_USBBUS_PATH, {key, "--", Updater}, "y\n",
        {"LC_ALL=C.UTF-8", "LD_PRELOAD=" + AllocationReport,
         "NEVRIK_ALLOCATION_REPORT=" + reportPath, "ASAN_OPTIONS=verify_asan_link_order=0"});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;

    const std::vector<WriteFrameMark> marks = ReadMarks(reportPath);
    ASSERT_EQ(marks.size(), 14u);
    EXPECT_GT(marks.front().allocations, 0u);  // the counter sees the program's allocations
    for (std::size_t chunk = 1; chunk < marks.size(); ++chunk) {
      EXPECT_EQ(marks[chunk].allocations - marks[chunk - 1].allocations, 0u) << "chunk " << chunk;
      EXPECT_EQ(marks[chunk].transfers - marks[chunk - 1].transfers, 2u) << "chunk " << chunk;
      // What libusb allocates for itself: its URB list, once per submitted transfer.
      EXPECT_LE(marks[chunk].submitAllocations - marks[chunk - 1].submitAllocations, 2u);
    }
  }
  std::remove(reportPath.c_str());
}

}  // namespace
}  // namespace nevrik::test
