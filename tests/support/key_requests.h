#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/frame.h"

// The requests a key receives, in order, as the simulated key records their commands.
namespace nevrik::test {

using Commands = std::vector<std::uint8_t>;

// commands, then command times over.
inline Commands Then(Commands commands, std::uint8_t command, std::size_t times = 1) {
  commands.insert(commands.end(), times, command);
  return commands;
}

inline Commands Then(Commands first, const Commands& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

// The query that synchronises, then the status read.
inline const Commands StatusRead = {CmdQuery, CmdQuery};

// A setup the key refused (the SO PIN was wrong), and the cancel after it.
inline const Commands RefusedPin = {CmdQuery, CmdQuery, CmdHandshake, CmdSetup, CmdCancelUpdate};

// A whole update of the test pack, in 14 chunks.
inline Commands WholeUpdate() {
  return Then(Then(Then(StatusRead, {CmdHandshake, CmdSetup}), CmdWrite, 14),
              {CmdGetHash, CmdDeploy, CmdFinal});
}

}  // namespace nevrik::test
