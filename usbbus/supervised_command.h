#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "usbbus/console_script.h"
#include "usbbus/emulated_usb_bus.h"

namespace nevrik::usbbus {

// What to do for a command while it runs on the bus.
struct Supervision {
  // Answers the updater's prompts, through pipes on the command's standard input and output,
  // copying its output to this process's; nothing: the command shares this process's streams.
  std::optional<ConsoleScript> script;
  // A descriptor that becomes readable when a key has been pulled out; -1: none.
  int pullSignal = -1;
  // Unplugs the keys that were pulled out; called on this thread, while the command runs.
  std::function<void()> unplugPulled;
};

// Runs a command on the bus to its end, doing meanwhile what the supervision asks, and gives its
// exit code as EmulatedUsbBus::RunCommand does. SIGTERM and SIGHUP that reach this process are
// passed on to the command; the caller installs handlers for them (see PassOnSignals).
int RunSupervised(const EmulatedUsbBus& bus, const std::vector<std::string>& command,
                  CommandOptions options, Supervision& supervision);

// Installs handlers that keep this process alive through SIGINT (which a terminal sends the
// command as well), SIGTERM and SIGHUP while a supervised command runs, and ignores SIGPIPE.
void PassOnSignals();

}  // namespace nevrik::usbbus
