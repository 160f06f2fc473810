#include "app/update_procedure.h"

#include <cryptopp/misc.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "app/identity_words.h"
#include "app/inaccessible_devices.h"
#include "app/key_selection.h"
#include "app/log.h"
#include "app/prompts.h"
#include "app/update_decision.h"
#include "secure/digest.h"
#include "usb/usb_access_report.h"

namespace nevrik {

namespace {

constexpr const char* CautionLines[] = {
    "",
    "==========================================================",
    "                      CAUTION",
    "",
    "  PINs and all keys of NEVRIK will be erased.",
    "  All FIDO2/U2F authentication keys will also be deleted.",
    "",
    "  DO NOT shutdown or sleep your PC during updating.",
    "",
    "==========================================================",
    "",
};

void PrintProgress(std::FILE* out, const char* text) {
  std::fputs(text, out);
  std::fflush(out);
}

// Wipes the setup request's payload area and the PIN when the request is done with, also when an
// exception (an allocation failure) ends it: the area holds the PIN in plaintext until it is
// enciphered, and its ciphertext after.
class SetupRequestWipe {
 public:
  SetupRequestWipe(std::uint8_t* payload, std::uint32_t length, SecretBytes& soPin)
      : payload(payload), length(length), soPin(soPin) {}
  ~SetupRequestWipe() {
    CryptoPP::SecureWipeBuffer(payload, length);
    WipeSecret(soPin);
  }
  SetupRequestWipe(const SetupRequestWipe&) = delete;
  SetupRequestWipe& operator=(const SetupRequestWipe&) = delete;

 private:
  std::uint8_t* payload;
  std::uint32_t length;
  SecretBytes& soPin;
};

// A request that ended without a whole answer (DeviceError: the key did not take it, or did not
// answer before the transfer timed out) after the user asked to stop: most likely the key went
// silent and the user gave up waiting, so the run ends as the interruption, not with the step's
// error line.
bool LeftUnansweredForTheUser(StatusCode status, const Interruption& interruption) {
  return status == StatusCode::DeviceError && interruption.IsRequested();
}

enum class SetupResult { Accepted, Failed, Interrupted };

// The setup request: the pack's 12 setup parameters, then the PIN's bytes.
SetupResult SendSetupRequest(DeviceSession& session, SecretBytes& soPin, const FirmwarePack& pack,
                             const Interruption& interruption, RunRecord& record) {
  const std::uint32_t length =
      static_cast<std::uint32_t>(FirmwarePack::SetupParametersSize + soPin.size());
  std::uint8_t* payload = session.PreparePayload(length);
  if (payload == nullptr) {
    Log(LogLevel::Error, "Cannot create setup request.\n");
    return SetupResult::Failed;
  }
  StatusCode status = StatusCode::Success;
  {
    const SetupRequestWipe wipe(payload, length, soPin);
    const auto parameters = pack.SetupParameters();
    std::copy(parameters.begin(), parameters.end(), payload);
    std::copy(soPin.begin(), soPin.end(), payload + parameters.size());
    status = session.TransactNoData(CmdSetup, true, length);
  }

  if (LeftUnansweredForTheUser(status, interruption)) {
    return SetupResult::Interrupted;
  }
  if (status == StatusCode::IncorrectPin) {
    record.Ended(RunOutcome::IncorrectSoPin);
    Log(LogLevel::Error, "Incorrect SO PIN.\n");
    return SetupResult::Failed;
  }
  if (status != StatusCode::Success) {
    Log(LogLevel::Error, "Setup request failed: %s\n", StatusCodeName(status));
    return SetupResult::Failed;
  }
  return SetupResult::Accepted;
}

}  // namespace

// Each chunk is enciphered from the pack straight into the frame: one pass, no copy before it.
WriteResult WriteImage(DeviceSession& session, const FirmwarePack& pack, std::FILE* out,
                       const Interruption& interruption, RunRecord& record) {
  const std::span<const std::uint8_t> image = pack.Image();
  for (std::size_t offset = 0; offset < image.size();) {
    const std::uint32_t chunk =
        static_cast<std::uint32_t>(std::min<std::size_t>(WriteChunkSize, image.size() - offset));
    if (session.PreparePayload(chunk) == nullptr) {
      Log(LogLevel::Error, "Cannot create write request.\n");
      return WriteResult::Failed;
    }
    const StatusCode status = session.TransactSecureNoData(CmdWrite, image.subspan(offset, chunk));
    if (LeftUnansweredForTheUser(status, interruption)) {
      return WriteResult::Interrupted;
    }
    if (status != StatusCode::Success) {
      Log(LogLevel::Error, "Write request failed: %s\n", StatusCodeName(status));
      return WriteResult::Failed;
    }
    std::fputc('.', out);
    offset += chunk;
    std::fflush(out);
    record.Written(offset, image.size());
    if (interruption.IsRequested()) {
      return WriteResult::Interrupted;
    }
  }
  return WriteResult::Written;
}

namespace {

enum class VerifyResult { Verified, Failed, Interrupted };

// Compares the key's hash of what it received with the image's own SHA-256.
VerifyResult VerifyImage(DeviceSession& session, const FirmwarePack& pack, std::FILE* out,
                         const Interruption& interruption) {
  const Sha256Digest digest = Sha256(pack.Image());
  PrintProgress(out, ".");

  // Room for the hash before it is asked for: an allocation failing between the answer's header
  // and its payload would leave the payload unread, for the cancel request to take as its answer.
  std::vector<std::uint8_t> hash;
  hash.reserve(FirmwareHashSize);
  const StatusCode status = session.Transact(CmdGetHash, true, 0, hash);
  if (LeftUnansweredForTheUser(status, interruption)) {
    return VerifyResult::Interrupted;
  }
  if (status != StatusCode::Success) {
    Log(LogLevel::Error, "Failed to get firmware hash: %s\n", StatusCodeName(status));
    return VerifyResult::Failed;
  }
  PrintProgress(out, ".");

  if (hash.empty()) {
    Log(LogLevel::Error, "Empty hash is received.\n");
    return VerifyResult::Failed;
  }
  if (hash.size() != FirmwareHashSize || !std::equal(hash.begin(), hash.end(), digest.begin())) {
    Log(LogLevel::Error, "Hash mismatch: ");
    if (logSettings.logLevel >= static_cast<int>(LogLevel::Error)) {
      LogHexDump(hash.data(), hash.size());
      LogRaw("\n");
    }
    return VerifyResult::Failed;
  }
  PrintProgress(out, " done!\n");
  Log(LogLevel::Verbose, "Firmware hash verified.\n");
  return VerifyResult::Verified;
}

ExitCode Canceled(std::FILE* out, RunRecord& record, RunOutcome outcome) {
  record.Ended(outcome);
  std::fprintf(out, "Update canceled.\n");
  std::fflush(out);
  return ExitCode::ExitCanceled;
}

StatusCode SendCancelRequest(DeviceSession& session) {
  return session.TransactNoData(CmdCancelUpdate, false, 0);
}

void ReportCancel(StatusCode status) {
  if (status == StatusCode::Success) {
    Log(LogLevel::Verbose, "Update has been canceled.\n");
  } else {
    Log(LogLevel::Error, "Failed to cancel update request: %s\n", StatusCodeName(status));
  }
}

// The steps from the secure channel on, with an exception counted as their failure: the key is
// then told to cancel like after any other failure.
UpdateOutcome GuardedWriteAndDeploy(DeviceSession& session, SecretBytes& soPin,
                                    const UpdaterEnvironment& environment) {
  try {
    return WriteAndDeployFirmware(session, soPin, environment);
  } catch (const std::exception& failure) {
    ReportUnexpectedFailure(failure.what());
  } catch (...) {
    ReportUnexpectedFailure(nullptr);
  }
  return UpdateOutcome::Failed;
}

// The word for a search that found no key to update.
RunOutcome SearchOutcome(DeviceSearch search) {
  switch (search) {
    case DeviceSearch::NoKey:
      return RunOutcome::NoKey;
    case DeviceSearch::SeveralKeys:
      return RunOutcome::SeveralKeys;
    case DeviceSearch::NoMatch:
      return RunOutcome::NoMatch;
    case DeviceSearch::InUse:
      return RunOutcome::InUse;
    case DeviceSearch::Unreachable:
      return RunOutcome::Unreachable;
    case DeviceSearch::Interrupted:
      return RunOutcome::Interrupted;
    case DeviceSearch::TestDataOnly:
      return RunOutcome::TestBuild;
    case DeviceSearch::Opened:
      break;
  }
  return RunOutcome::Failed;
}

}  // namespace

ExitCode RunDeviceStage(bool force, const UpdaterEnvironment& environment) {
  std::unique_ptr<DeviceSession> holder;
  const DeviceSearch search = FindAndOpenDevice(holder, environment);
  if (search != DeviceSearch::Opened) {
    environment.record->Ended(SearchOutcome(search));
  }
  if (search == DeviceSearch::TestDataOnly) {
    return ExitCode::ExitBrokenUpdater;
  }
  if (search != DeviceSearch::Opened) {
    std::fprintf(environment.streams.out, "Update canceled.\n");
    return search == DeviceSearch::Interrupted ? ExitCode::ExitCanceled : ExitCode::ExitNoDevice;
  }
  const ExitCode exitCode = RunUpdate(holder, force, environment);
  holder->Device().Close();
  holder.reset();
  return exitCode;
}

namespace {

void NameKeyFound(const UsbKeyIdentity& identity) {
  Log(LogLevel::Verbose, "Found NEVRIK %ls: %s, USB %04x:%04x.\n", identity.path.c_str(),
      IdentityWords(identity).c_str(), static_cast<unsigned>(identity.vendorId),
      static_cast<unsigned>(identity.productId));
}

void WarnAboutDevicesNotInspected(const KvUsbEnumerator& enumerator) {
  const auto* report = dynamic_cast<const UsbAccessReport*>(&enumerator);
  WarnAboutInaccessibleDevices(report != nullptr ? report->GetInaccessibleCount() : 0,
                               "nevrik-update");
}

// Writes why the search ends when no one key was picked, and at VERBOSE which keys the selector
// matched; Opened when the run goes on with the key picked.
DeviceSearch ReportKeyChoice(const KeySelection& selection,
                             const std::vector<UsbKeyIdentity>& identities,
                             const std::optional<std::wstring>& selector,
                             const KvUsbEnumerator& enumerator) {
  if (selector) {
    const std::string named = SelectorWords(*selector);
    for (const unsigned index : selection.matches) {
      Log(LogLevel::Verbose, "NEVRIK %ls matches --device=%s.\n", identities[index].path.c_str(),
          named.c_str());
    }
  }
  switch (selection.choice) {
    case KeyChoice::Found:
      return DeviceSearch::Opened;
    case KeyChoice::NoKey:
      Log(LogLevel::Warn, "NEVRIK not found. Please attach one NEVRIK device to the PC.\n");
      WarnAboutDevicesNotInspected(enumerator);
      return DeviceSearch::NoKey;
    case KeyChoice::SeveralKeys:
      Log(LogLevel::Warn, "Found %zu NEVRIK devices; only one should be attached.\n",
          identities.size());
      return DeviceSearch::SeveralKeys;
    case KeyChoice::NoneMatched:
      WarnAboutSelector(selection, *selector);
      // The key named may be among the devices that could not be inspected.
      WarnAboutDevicesNotInspected(enumerator);
      return DeviceSearch::NoMatch;
    case KeyChoice::SeveralMatched:
      WarnAboutSelector(selection, *selector);
      return DeviceSearch::SeveralKeys;
  }
  return DeviceSearch::NoKey;
}

}  // namespace

DeviceSearch FindAndOpenDevice(std::unique_ptr<DeviceSession>& holder,
                               const UpdaterEnvironment& environment) {
  const Interruption& interruption = *environment.interruption;
  const std::unique_ptr<KvUsbEnumerator> enumerator = environment.makeEnumerator();
  enumerator->Enumerate();
  const std::vector<UsbKeyIdentity> identities = ListedIdentities(*enumerator);
  for (const UsbKeyIdentity& found : identities) {
    NameKeyFound(found);
  }
  const KeySelection selection = SelectKey(identities, environment.deviceSelector);
  const DeviceSearch choice =
      ReportKeyChoice(selection, identities, environment.deviceSelector, *enumerator);
  if (choice != DeviceSearch::Opened) {
    return choice;
  }
  const unsigned index = selection.matches.front();
  const UsbKeyIdentity& identity = identities[index];
  environment.record->KeyFound(identity);
  if (environment.packIsTestData && !identity.IsTestKey()) {
    Log(LogLevel::Error, "%s", TestDataRefusal);
    return DeviceSearch::TestDataOnly;
  }
  if (interruption.IsRequested()) {
    return DeviceSearch::Interrupted;
  }
  std::unique_ptr<KvUsbDevice> device;
  if (enumerator->OpenDevice(index, device) != UsbOpenResult::Opened) {
    Log(LogLevel::Error, "NEVRIK is being used by another app.\n");
    return DeviceSearch::InUse;
  }
  holder = DeviceSession::Attach(std::move(device), SystemTickSource(), *environment.keySource);
  if (interruption.IsRequested()) {
    return DeviceSearch::Interrupted;
  }
  if (!holder->Synchronize()) {
    Log(LogLevel::Error, "Cannot access NEVRIK.\n");
    return DeviceSearch::Unreachable;
  }
  if (interruption.IsRequested()) {
    return DeviceSearch::Interrupted;
  }
  return DeviceSearch::Opened;
}

ExitCode RunUpdate(std::unique_ptr<DeviceSession>& holder, bool force,
                   const UpdaterEnvironment& environment) {
  std::FILE* out = environment.streams.out;
  const Interruption& interruption = *environment.interruption;
  RunRecord& record = *environment.record;
  DeviceStatus status;
  const StatusCode statusResult = holder->GetStatus(status);
  if (LeftUnansweredForTheUser(statusResult, interruption)) {
    return Canceled(out, record, RunOutcome::Interrupted);
  }
  if (statusResult != StatusCode::Success) {
    record.Ended(RunOutcome::StatusFailed);
    Log(LogLevel::Error, "Failed to get device status: %s\n", StatusCodeName(statusResult));
    return ExitCode::ExitStatusFailed;
  }
  record.StatusRead(status);
  if (interruption.IsRequested()) {
    return Canceled(out, record, RunOutcome::Interrupted);
  }

  const unsigned major = status.FirmwareMajor();
  const unsigned minor = status.FirmwareMinor();
  record.Decided(force, !RunsTargetVersionOrLater(status));
  if (force) {
    std::fprintf(out, "Force update is activated. ver.%u.%u -> ver.%u.%u\n", major, minor,
                 TargetVersion.versionMajor, TargetVersion.versionMinor);
  } else if (RunsTargetVersionOrLater(status)) {
    record.Ended(RunOutcome::NotNeeded);
    std::fprintf(out, "Current firmware is ver.%u.%u. No update is needed.\n", major, minor);
    return ExitCode::ExitNoUpdateNeeded;
  } else {
    std::fprintf(out, "NEVRIK can be updated. ver.%u.%u -> ver.%u.%u\n", major, minor,
                 TargetVersion.versionMajor, TargetVersion.versionMinor);
  }

  for (const char* line : CautionLines) {
    std::fprintf(out, "%s\n", line);
  }

  if (!ConfirmUpdate(environment.streams, environment.answers, interruption)) {
    return Canceled(out, record,
                    interruption.IsRequested() ? RunOutcome::Interrupted : RunOutcome::Declined);
  }

  SecretBytes soPin;
  if ((status.Flags() & DeviceStatus::SoPinSet) != 0) {
    if ((status.Flags() & DeviceStatus::SoPinLocked) != 0) {
      record.Ended(RunOutcome::SoPinLocked);
      Log(LogLevel::Error,
          "SO PIN has been locked. Restore your NEVRIK to the factory settings.\n");
      return ExitCode::ExitSoPinLocked;
    }
    if (!ReadSoPin(environment.streams, environment.answers, soPin, interruption)) {
      return Canceled(out, record,
                      interruption.IsRequested() ? RunOutcome::Interrupted : RunOutcome::NoSoPin);
    }
  }
  if (interruption.IsRequested()) {
    return Canceled(out, record, RunOutcome::Interrupted);
  }

  switch (GuardedWriteAndDeploy(*holder, soPin, environment)) {
    case UpdateOutcome::Deployed:
      record.Ended(RunOutcome::Updated);
      std::fprintf(out, "Updated successfully!\n");
      return ExitCode::ExitOk;
    case UpdateOutcome::Failed:
      record.Ended(RunOutcome::Failed);  // unless a step told a more precise word
      CancelUpdate(*holder);
      break;
    case UpdateOutcome::Interrupted: {
      record.Ended(RunOutcome::Interrupted);
      // A request left without a whole answer leaves the key's byte stream out of step (its
      // answer may still come): the key is told to drop it and brought back into step first, so
      // that the cancel and its answer are read as such. Then the cancel goes out, before
      // anything is written: a closing console leaves little time.
      if (holder->IsBroken()) {
        holder->Synchronize();
      }
      const StatusCode cancel = SendCancelRequest(*holder);
      Log(LogLevel::Warn, "Interrupted by the user.\n");
      ReportCancel(cancel);
      break;
    }
  }
  return Canceled(out, record, RunOutcome::Failed);
}

UpdateOutcome WriteAndDeployFirmware(DeviceSession& session, SecretBytes& soPin,
                                     const UpdaterEnvironment& environment) {
  std::FILE* out = environment.streams.out;
  const Interruption& interruption = *environment.interruption;
  const StatusCode channel = session.EstablishSecureMessaging();
  if (LeftUnansweredForTheUser(channel, interruption)) {
    return UpdateOutcome::Interrupted;
  }
  if (channel != StatusCode::Success) {
    Log(LogLevel::Error, "Cannot establish secure messaging: %s\n", StatusCodeName(channel));
    return UpdateOutcome::Failed;
  }
  if (interruption.IsRequested()) {
    return UpdateOutcome::Interrupted;
  }
  if (soPin.size() > SoPinLengthLimit) {
    Log(LogLevel::Error, "Too long SO PIN.\n");
    return UpdateOutcome::Failed;
  }
  RunRecord& record = *environment.record;
  switch (SendSetupRequest(session, soPin, environment.pack, interruption, record)) {
    case SetupResult::Accepted:
      break;
    case SetupResult::Failed:
      return UpdateOutcome::Failed;
    case SetupResult::Interrupted:
      return UpdateOutcome::Interrupted;
  }
  if (interruption.IsRequested()) {
    return UpdateOutcome::Interrupted;
  }

  PrintProgress(out, "Writing firmware ");
  switch (WriteImage(session, environment.pack, out, interruption, record)) {
    case WriteResult::Written:
      break;
    case WriteResult::Failed:
      return UpdateOutcome::Failed;
    case WriteResult::Interrupted:
      return UpdateOutcome::Interrupted;
  }
  PrintProgress(out, " done!\n");
  PrintProgress(out, "Verifying firmware ");
  switch (VerifyImage(session, environment.pack, out, interruption)) {
    case VerifyResult::Verified:
      record.Verified();
      break;
    case VerifyResult::Failed:
      return UpdateOutcome::Failed;
    case VerifyResult::Interrupted:
      return UpdateOutcome::Interrupted;
  }
  // The last point to stop at: once deploy is asked for, it and the final frame run to their end.
  if (interruption.IsRequested()) {
    return UpdateOutcome::Interrupted;
  }

  // From here a failure leaves it open whether the key installed the image.
  if (session.TransactNoData(CmdDeploy, false, 0) != StatusCode::Success) {
    record.Ended(RunOutcome::DeployUnconfirmed);
    Log(LogLevel::Error, "Failed to deploy firmware.\n");
    return UpdateOutcome::Failed;
  }
  Log(LogLevel::Verbose, "Firmware has been deployed.\n");
  if (session.SendFinal() != StatusCode::Success) {
    record.Ended(RunOutcome::DeployUnconfirmed);
    Log(LogLevel::Error, "Failed to deploy firmware.\n");
    return UpdateOutcome::Failed;
  }
  record.Deployed();
  std::fflush(out);
  return UpdateOutcome::Deployed;
}

void CancelUpdate(DeviceSession& session) {
  ReportCancel(SendCancelRequest(session));
}

void ReportUnexpectedFailure(const char* what) {
  Log(LogLevel::Error, "Unexpected failure: %s\n", what != nullptr ? what : "unknown exception");
}

}  // namespace nevrik
