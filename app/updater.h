#pragma once

#include <cstdio>

#include "app/exit_code.h"
#include "app/updater_environment.h"

namespace nevrik {

inline constexpr const char* UpdaterVersion = "2.0.0.111 (2a12b68e)";

// The banner: product and target version, updater version, copyright, an empty line.
void PrintBanner(std::FILE* out);

// The whole program after the platform's entry point: options, banner, pack check and the device
// stage. arguments[0] is the program name; arguments[count] may be null. Tests run it in-process
// with captured streams and simulated keys. No exception leaves it: one that no step caught
// (an allocation failure) ends the run with "Unexpected failure: %s\n" at level ERROR, echo
// restored, "Update canceled." and ExitCanceled. With --json, standard output gets the run's
// record (JsonRunRecord), ending in its result line however the run ends after the options, and
// everything else goes to standard error.
ExitCode RunUpdater(int count, const wchar_t* const* arguments,
                    const UpdaterEnvironment& environment);

}  // namespace nevrik
