#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "sim/sim_key.h"

// The simulated key's fault switches by name, for people who set them from a command line. Most
// names are COMMAND-EFFECT (write-refused, hash-corrupted): the key does EFFECT to its answer to
// every request of COMMAND; a few concern the handshake and the synchronisation as a whole
// (sync-refused). KeyFaultNamesHelp lists them all with what they do.
namespace nevrik::usbbus {

using KeyFaultSwitch = std::function<void(SimKey&)>;

// The switch that sets the named fault on a key; nothing for an unknown name.
std::optional<KeyFaultSwitch> FindKeyFault(std::string_view name);

// Every name and what it does, for a help text.
std::string KeyFaultNamesHelp();

}  // namespace nevrik::usbbus
