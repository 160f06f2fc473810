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
// Gives ExitOk, ExitNoUpdateNeeded, ExitNoDevice, ExitCanceled, ExitSoPinLocked or
// ExitStatusFailed.
ExitCode RunDeviceStage(bool force, const UpdaterEnvironment& environment);

// Finds exactly one key, opens it into holder and synchronises it. A session that failed to
// synchronise stays in holder.
bool FindAndOpenDevice(std::unique_ptr<DeviceSession>& holder,
                       const UpdaterEnvironment& environment);

// Reads the key's status, decides, warns, asks, and runs the update; cancels on the key when a
// step from the secure channel on fails.
ExitCode RunUpdate(std::unique_ptr<DeviceSession>& holder, bool force,
                   const UpdaterEnvironment& environment);

// The secure channel, the setup request with the SO PIN, the image in chunks, the hash check,
// deploy and the final frame. The PIN is wiped once the setup request has gone out.
bool WriteAndDeployFirmware(DeviceSession& session, SecretBytes& soPin,
                            const UpdaterEnvironment& environment);

// Streams the pack's image to the key in chunks of WriteChunkSize, one dot on out per accepted
// chunk. A refused chunk is reported and ends the stream.
bool WriteImage(DeviceSession& session, const FirmwarePack& pack, std::FILE* out);

// Asks the key to drop the update in progress; the outcome is only logged.
void CancelUpdate(DeviceSession& session);

}  // namespace nevrik
