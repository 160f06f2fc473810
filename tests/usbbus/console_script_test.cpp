// The scripted answers, fed the updater's output in the pieces a pipe may deliver.
#include "usbbus/console_script.h"

#include <gtest/gtest.h>

namespace nevrik::usbbus {
namespace {

TEST(ConsoleScript, AnswersEachPromptOnceItIsWholeEvenWhenItArrivesInPieces) {
  ConsoleScript script("1234");
  EXPECT_EQ(script.Read("...==========\n\nAre you sure to update").typed, "");
  EXPECT_EQ(script.Read(" the firmware? [y/n]").typed, "");
  const ConsoleScript::Reply yes = script.Read(": ");
  EXPECT_EQ(yes.typed, "y\n");
  EXPECT_EQ(yes.shown, "y\n");
  EXPECT_EQ(script.Read("").typed, "");  // answered once, not again

  EXPECT_EQ(script.Read("SO PI").typed, "");
  const ConsoleScript::Reply pin = script.Read("N: ");
  EXPECT_EQ(pin.typed, "1234\n");
  EXPECT_EQ(pin.shown, "");  // not echoed; the updater ends the line itself
}

TEST(ConsoleScript, LeavesOtherTextAlone) {
  ConsoleScript script("1234");
  for (const char* output : {"[ERROR  ] SO PIN has been locked. Restore your NEVRIK.\n",
                             "Are you sure to update the firmware? [y/n]: y\n", "SO PIN:"}) {
    EXPECT_EQ(script.Read(output).typed, "") << output;
  }
}

}  // namespace
}  // namespace nevrik::usbbus
