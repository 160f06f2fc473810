#pragma once

#include <cstdio>
#include <memory>

#include "app/exit_code.h"
#include "app/updater_environment.h"
#include "protocol/device_session.h"
#include "secure/secret_bytes.h"

namespace nevrik {

inline constexpr std::uint32_t WriteChunkSize = 8192;
inline constexpr std::size_t SoPinLengthLimit = 256;
inline constexpr std::size_t FirmwareHashSize = 32;

// The device stage of a run: finds and opens the one key, runs the update and releases the key.
// Gives ExitOk, ExitNoUpdateNeeded, ExitNoDevice, ExitCanceled, ExitSoPinLocked,
// ExitStatusFailed, or ExitBrokenUpdater when an updater carrying test data finds a real key.
//
// The user's interruption (environment.interruption) is looked at after each step, never in the
// middle of a request to the key. Up to the SO PIN prompt it ends the run with nothing more sent
// ("Update canceled.", ExitCanceled); from the secure channel up to the hash check the key is
// asked to cancel first, with the warning "Interrupted by the user."; deploy and the final frame
// are finished and their outcome stands. A request of those steps that the key leaves without
// an answer until its transfer times out ends, when the user asked to stop meanwhile, as that
// interruption: the key is synchronised again, then asked to cancel.
ExitCode RunDeviceStage(bool force, const UpdaterEnvironment& environment);

// How the search for the key ended. Every way it fails has its own value: a run's record names
// each with its own word.
enum class DeviceSearch {
  Opened,
  NoKey,
  SeveralKeys,
  NoMatch,  // no key matches the one asked for
  InUse,
  Unreachable,  // opened, but it could not be synchronised
  Interrupted,
  TestDataOnly,
};

// The one ERROR line of an updater carrying test data that found a key without the test identity.
inline constexpr const char* TestDataRefusal =
    "This updater carries test data, not firmware: it updates only simulated NEVRIK keys (USB "
    "1209:0001).\n";

// Finds exactly one key (the one environment.deviceSelector matches, if it is set), opens it into
// holder and synchronises it; no other key is opened. A session that failed to synchronise stays
// in holder. Any value but Opened, Interrupted and TestDataOnly: the reason has been written.
// Every key found is named at VERBOSE, with a selector every key it matches, and the key chosen is
// told to the run's record. TestDataOnly: the pack is test data and the key does not announce the
// test identity; the refusal has been written, and nothing was sent to the key (it was not even
// opened).
DeviceSearch FindAndOpenDevice(std::unique_ptr<DeviceSession>& holder,
                               const UpdaterEnvironment& environment);

// Reads the key's status, decides, warns, asks, and runs the update; cancels on the key when a
// step from the secure channel on fails, is interrupted or throws.
ExitCode RunUpdate(std::unique_ptr<DeviceSession>& holder, bool force,
                   const UpdaterEnvironment& environment);

enum class UpdateOutcome { Deployed, Failed, Interrupted };

// The secure channel, the setup request with the SO PIN, the image in chunks, the hash check,
// deploy and the final frame. The PIN is wiped once the setup request has gone out. Failed: the
// reason has been written; Interrupted: nothing has been written. Either way the key is left to
// be told to cancel.
UpdateOutcome WriteAndDeployFirmware(DeviceSession& session, SecretBytes& soPin,
                                     const UpdaterEnvironment& environment);

enum class WriteResult { Written, Failed, Interrupted };

// Streams the pack's image to the key in chunks of WriteChunkSize, one dot on out per accepted
// chunk, told to record as well. A refused chunk is reported and ends the stream (Failed); a
// request to stop is looked at after each accepted chunk, and after a chunk left unanswered
// (Interrupted).
WriteResult WriteImage(DeviceSession& session, const FirmwarePack& pack, std::FILE* out,
                       const Interruption& interruption, RunRecord& record = NoRunRecord());

// Asks the key to drop the update in progress; the outcome is only logged.
void CancelUpdate(DeviceSession& session);

// The one ERROR line for an exception that no step expected, such as an allocation failure;
// what is the exception's own text, if it has one.
void ReportUnexpectedFailure(const char* what);

}  // namespace nevrik
