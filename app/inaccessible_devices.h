#pragma once

namespace nevrik {

// Where keys can only be recognised by opening USB devices, a search may miss one because this
// process was not allowed to look: one WARN line that says so and what to do, naming the program
// to run with sufficient rights. Nothing for a count of 0.
void WarnAboutInaccessibleDevices(unsigned count, const char* programName);

}  // namespace nevrik
