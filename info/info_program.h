#pragma once

#include "app/exit_code.h"
#include "app/updater_environment.h"

namespace nevrik {

// The whole of nevrik-info after the platform's entry point: options, the pack check, the
// inventory of every key, and the report in words or as one JSON document. arguments[0] is the
// program name; arguments[count] may be null. Of the environment it uses the streams, the pack,
// the enumerator and the key source. Gives ExitOk, ExitBadOption, ExitNoDevice,
// ExitBrokenUpdater or ExitStatusFailed, or 4 (ExitCanceled) when out could not be written
// entirely or an exception ended the run; no exception leaves it.
ExitCode RunInfo(int count, const wchar_t* const* arguments, const UpdaterEnvironment& environment);

}  // namespace nevrik
