#include "usbbus/console_script.h"

namespace nevrik::usbbus {

namespace {

constexpr std::string_view Confirmation = "Are you sure to update the firmware? [y/n]: ";
constexpr std::string_view PinPrompt = "SO PIN: ";
// Enough to hold the longer prompt.
constexpr std::size_t Kept = 64;

}  // namespace

ConsoleScript::Reply ConsoleScript::Read(std::string_view output) {
  recent += output;
  if (recent.size() > Kept) {
    recent.erase(0, recent.size() - Kept);
  }
  Reply reply;
  if (recent.ends_with(Confirmation)) {
    reply = {"y\n", "y\n"};
  } else if (recent.ends_with(PinPrompt)) {
    reply = {soPin + "\n", ""};
  } else {
    return reply;
  }
  recent.clear();
  return reply;
}

}  // namespace nevrik::usbbus
