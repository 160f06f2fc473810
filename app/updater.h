#pragma once

#include "app/exit_code.h"
#include "app/firmware_pack.h"
#include "app/standard_streams.h"

namespace nevrik {

inline constexpr const char* UpdaterVersion = "2.0.0.111 (2a12b68e)";

// What a run of the updater takes from outside: its streams and its firmware pack. The shipped
// program passes the process's own; tests pass captures and packs of their own.
struct UpdaterEnvironment {
  StandardStreams streams;
  FirmwarePack pack{EmbeddedFirmwarePackData()};
};

// The banner: product and target version, updater version, copyright, an empty line.
void PrintBanner(std::FILE* out);

// The whole program after the platform's entry point: options, banner, pack check and the device
// stage. arguments[0] is the program name; arguments[count] may be null.
ExitCode RunUpdater(int count, const wchar_t* const* arguments,
                    const UpdaterEnvironment& environment);

}  // namespace nevrik
