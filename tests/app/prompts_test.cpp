#include "app/prompts.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/captured_file.h"

namespace nevrik {
namespace {

using test::CapturedFile;

const std::string Question = "Are you sure to update the firmware? [y/n]: ";
const std::string Invalid = "Invalid key input\n";

struct ConfirmCase {
  std::string input;
  bool confirmed;
  std::string out;
};

void PrintTo(const ConfirmCase& answer, std::ostream* stream) {
  *stream << '"' << answer.input << '"';
}

class ConfirmUpdateTest : public ::testing::TestWithParam<ConfirmCase> {};

TEST_P(ConfirmUpdateTest, AnswersAndTranscript) {
  const CapturedFile in(GetParam().input);
  const CapturedFile out;
  const StandardStreams streams{in.File(), out.File(), stderr};
  EXPECT_EQ(ConfirmUpdate(streams), GetParam().confirmed);
  EXPECT_EQ(out.Text(), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ConfirmUpdateTest,
    ::testing::Values(
        ConfirmCase{"y\n", true, Question}, ConfirmCase{"Y\n", true, Question},
        ConfirmCase{"n\n", false, Question}, ConfirmCase{"N\n", false, Question},
        ConfirmCase{"yes\ny\n", true, Question + Invalid + Question},
        ConfirmCase{"no\nY\n", true, Question + Invalid + Question},
        ConfirmCase{"yy\nn\n", false, Question + Invalid + Question},
        ConfirmCase{"\nx\n \nY\n", true, Question + Question + Question + Question},
        // What follows an over-long answer on its line is never read as the next answer.
        ConfirmCase{"ay\nn\n", false, Question + Invalid + Question},
        ConfirmCase{"ayy y\n\nY\n", true, Question + Invalid + Question + Question},
        // The end of the input is a no, even right after a y.
        ConfirmCase{"", false, Question}, ConfirmCase{"y", false, Question},
        ConfirmCase{"x\n", false, Question + Question},
        ConfirmCase{"yes", false, Question + Invalid + Question},
        // A "\r\n" line end, as a Windows shell's pipe gives it, is one line end.
        ConfirmCase{"\r\nY\r\n", true, Question + Question},
        ConfirmCase{"y\rx\nn\n", false, Question + Invalid + Question},
        ConfirmCase{"\ry\nN\n", false, Question + Invalid + Question}));

TEST(ReadSoPinTest, ReadsOneLineWithoutItsNewlineAndEndsTheLine) {
  const CapturedFile in("12 34\xC3\xA9\nnext line\n");
  const CapturedFile out;
  SecretBytes pin{'o', 'l', 'd'};
  ReadSoPin({in.File(), out.File(), stderr}, pin);
  EXPECT_EQ(std::string(pin.begin(), pin.end()), "12 34\xC3\xA9");
  EXPECT_EQ(out.Text(), "SO PIN: \n");
  EXPECT_EQ(std::getc(in.File()), 'n');  // the next line stays unread
}

// An empty line, or the end of the input before any byte, gives no PIN; a "\r\n" line end is no
// part of one; a PIN cut short by the end of the input is the key's to judge.
TEST(ReadSoPinTest, GivesThePinWithoutItsLineEnd) {
  for (const auto& [input, expected] : std::vector<std::pair<std::string, std::string>>{
           {"", ""}, {"\r\n1\n", ""}, {"12\r34\r\n", "12\r34"}, {"abc", "abc"}, {"1\r", "1\r"}}) {
    const CapturedFile in(input);
    const CapturedFile out;
    SecretBytes pin{'x'};
    EXPECT_EQ(ReadSoPin({in.File(), out.File(), stderr}, pin), !expected.empty());
    EXPECT_EQ(std::string(pin.begin(), pin.end()), expected);
    EXPECT_EQ(out.Text(), "SO PIN: \n");
  }
}

TEST(ReadSoPinTest, NoLengthLimitWhileReading) {
  const std::string longPin(70000, '7');
  const CapturedFile in(longPin + "\n");
  const CapturedFile out;
  SecretBytes pin;
  ReadSoPin({in.File(), out.File(), stderr}, pin);
  EXPECT_EQ(pin.size(), longPin.size());
}

// Requested from its given look on: the user presses Ctrl+C while the prompt waits.
class InterruptAtLook final : public Interruption {
 public:
  explicit InterruptAtLook(int look) : look(look) {}
  bool IsRequested() const override { return ++looks >= look; }

 private:
  int look;
  mutable int looks = 0;
};

TEST(ConfirmUpdateTest, AnInterruptionIsARefusalThatEndsThePromptsLine) {
  for (const int look : {1, 2, 4}) {  // before the answer, after its first character, while
                                      // discarding an over-long line
    const CapturedFile in("yes\ny\n");
    const CapturedFile out;
    const InterruptAtLook interruption(look);
    EXPECT_FALSE(ConfirmUpdate({in.File(), out.File(), stderr}, interruption));
    EXPECT_EQ(out.Text(), Question + "\n") << look;
  }
}

TEST(ReadSoPinTest, AnInterruptionDropsWhatWasTyped) {
  const CapturedFile in("1234\n");
  const CapturedFile out;
  const InterruptAtLook interruption(3);
  SecretBytes pin{'o', 'l', 'd'};
  EXPECT_FALSE(ReadSoPin({in.File(), out.File(), stderr}, pin, interruption));
  EXPECT_TRUE(pin.empty());
  EXPECT_EQ(out.Text(), "SO PIN: \n");
}

// The confirmation reads no further than its own line, so the PIN's line is still there for the
// PIN prompt.
TEST(ReadSoPinTest, FollowsTheConfirmationOnTheSameInput) {
  const CapturedFile in("yy\ny\n4711\n");
  const CapturedFile out;
  const StandardStreams streams{in.File(), out.File(), stderr};
  ASSERT_TRUE(ConfirmUpdate(streams));
  SecretBytes pin;
  EXPECT_TRUE(ReadSoPin(streams, pin));
  EXPECT_EQ(std::string(pin.begin(), pin.end()), "4711");
}

}  // namespace
}  // namespace nevrik
