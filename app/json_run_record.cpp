#include "app/json_run_record.h"

#include <nlohmann/json.hpp>

#include "app/wide_to_utf8.h"
#include "secure/digest.h"

namespace nevrik {

namespace {

using Json = nlohmann::ordered_json;

std::string Version(unsigned major, unsigned minor) {
  return std::to_string(major) + "." + std::to_string(minor);
}

std::string Hex(const Sha256Digest& digest) {
  constexpr char Digits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t byte : digest) {
    hex += Digits[byte >> 4];
    hex += Digits[byte & 0x0F];
  }
  return hex;
}

// The serial is valid UTF-8 by construction; the library escapes its control characters.
Json KeyName(const UsbKeyIdentity& identity) {
  return {{"serial", identity.serialNumber ? Json(*identity.serialNumber) : Json()},
          {"location", identity.location.empty() ? Json() : Json(identity.location)},
          {"path", WideToUtf8(identity.path)}};
}

const char* SoPinName(const DeviceStatus& status) {
  if ((status.Flags() & DeviceStatus::SoPinSet) == 0) {
    return "none";
  }
  return (status.Flags() & DeviceStatus::SoPinLocked) != 0 ? "locked" : "set";
}

void WriteLine(std::FILE* out, const Json& line) {
  // Never throws for text that is not UTF-8: such bytes are replaced.
  const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::fprintf(out, "%s\n", text.c_str());
  std::fflush(out);
}

}  // namespace

JsonRunRecord::JsonRunRecord(std::FILE* out, const FirmwarePack& pack) : out(out) {
  if (ValidatePack(pack)) {
    imageSha256 = Hex(Sha256(pack.Image()));
  }
}

void JsonRunRecord::KeyFound(const UsbKeyIdentity& identity) {
  key = identity;
}

void JsonRunRecord::StatusRead(const DeviceStatus& read) {
  status = read;
  Json line = {{"event", "key"}};
  if (key) {
    line.update(KeyName(*key));
    char usbId[10];
    std::snprintf(usbId, sizeof usbId, "%04x:%04x", static_cast<unsigned>(key->vendorId),
                  static_cast<unsigned>(key->productId));
    line["usb_id"] = usbId;
  }
  line["firmware"] = Version(read.FirmwareMajor(), read.FirmwareMinor());
  line["so_pin"] = SoPinName(read);
  WriteLine(out, line);
}

void JsonRunRecord::Decided(bool force, bool needed) {
  WriteLine(out,
            {{"event", "decision"},
             {"decision", force    ? "forced"
                          : needed ? "update"
                                   : "not-needed"},
             {"firmware",
              status ? Json(Version(status->FirmwareMajor(), status->FirmwareMinor())) : Json()},
             {"target", Version(TargetVersion.versionMajor, TargetVersion.versionMinor)}});
}

void JsonRunRecord::Written(std::size_t written, std::size_t total) {
  WriteLine(out, {{"event", "progress"}, {"bytes_written", written}, {"bytes_total", total}});
}

void JsonRunRecord::Verified() {
  WriteLine(out,
            {{"event", "verified"}, {"image_sha256", imageSha256 ? Json(*imageSha256) : Json()}});
}

void JsonRunRecord::Deployed() {
  WriteLine(out, {{"event", "deployed"}});
}

void JsonRunRecord::Ended(RunOutcome ending) {
  if (!outcome) {
    outcome = ending;
  }
}

// A levelled line's message arrives whole; raw text that follows it (a hash's hex) continues it
// up to its line end.
void JsonRunRecord::Observe(LogLevel level, const char* text) {
  if (reasonEnded) {
    return;
  }
  if (level == LogLevel::Error || level == LogLevel::Warn) {
    if (reasonStarted) {
      reasonEnded = true;  // the line before ended without a line end
      return;
    }
    reasonStarted = true;
  } else if (level != LogLevel::None || !reasonStarted) {
    return;
  }
  const std::string_view piece(text);
  const std::size_t end = piece.find('\n');
  reason.append(piece.substr(0, end));
  reasonEnded = end != std::string_view::npos;
}

void JsonRunRecord::FailedUnexpectedly() {
  outcome = RunOutcome::Failed;
}

std::string JsonRunRecord::FallbackMessage() const {
  if (outcome == RunOutcome::Updated) {
    return "Updated successfully!";
  }
  if (outcome == RunOutcome::NotNeeded && status) {
    return "Current firmware is ver." + Version(status->FirmwareMajor(), status->FirmwareMinor()) +
           ". No update is needed.";
  }
  return "Update canceled.";
}

void JsonRunRecord::WriteResult(ExitCode exitCode) {
  const RunOutcome ending = outcome.value_or(RunOutcome::Failed);
  const bool updated = ending == RunOutcome::Updated;
  Json line = {
      {"event", "result"},
      {"schema", RunRecordSchema},
      {"exit_code", static_cast<int>(exitCode)},
      {"outcome", RunOutcomeName(ending)},
      {"message", reasonStarted ? reason : FallbackMessage()},
      {"key", key ? KeyName(*key) : Json()},
      {"firmware_before",
       status ? Json(Version(status->FirmwareMajor(), status->FirmwareMinor())) : Json()},
      {"firmware_after",
       updated ? Json(Version(TargetVersion.versionMajor, TargetVersion.versionMinor)) : Json()},
      {"image_sha256", imageSha256 ? Json(*imageSha256) : Json()},
  };
  WriteLine(out, line);
}

}  // namespace nevrik
