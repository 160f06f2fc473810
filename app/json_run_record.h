#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "app/exit_code.h"
#include "app/firmware_pack.h"
#include "app/log.h"
#include "app/run_record.h"

namespace nevrik {

// The version of the record's shape; it changes only when a member changes its meaning or goes
// away, never when one is added.
inline constexpr int RunRecordSchema = 1;

// The record of a run for scripts (--json): JSON Lines on out, one object per line with an
// "event" member, each line flushed as it is written:
//   {"event":"key","serial":S|null,"location":L|null,"path":P,"usb_id":"1209:0001",
//    "firmware":"1.5","so_pin":"none"|"set"|"locked"}
//   {"event":"decision","decision":"update"|"forced"|"not-needed","firmware":"1.5",
//    "target":"2.0"}
//   {"event":"progress","bytes_written":N,"bytes_total":T}        after each chunk
//   {"event":"verified","image_sha256":HEX}
//   {"event":"deployed"}
// and, written by WriteResult, the last line:
//   {"event":"result","schema":1,"exit_code":N,"outcome":WORD,"message":TEXT,
//    "key":{"serial","location","path"}|null,"firmware_before":"1.5"|null,
//    "firmware_after":"2.0"|null,"image_sha256":HEX|null}
// The message is the line that tells why the run ended: its first WARN or ERROR line without the
// level prefix, or, when it has none, its last line ("Updated successfully!", "Current firmware is
// ver.2.0. No update is needed." or "Update canceled."). It observes the logger for that.
class JsonRunRecord final : public RunRecord, public LogObserver {
 public:
  JsonRunRecord(std::FILE* out, const FirmwarePack& pack);

  void KeyFound(const UsbKeyIdentity& identity) override;
  void StatusRead(const DeviceStatus& status) override;
  void Decided(bool force, bool needed) override;
  void Written(std::size_t written, std::size_t total) override;
  void Verified() override;
  void Deployed() override;
  void Ended(RunOutcome outcome) override;

  void Observe(LogLevel level, const char* text) override;

  // An exception that no step caught ends the run as a failure, whatever was told before.
  void FailedUnexpectedly();
  // The result line, for a run that ended with exitCode.
  void WriteResult(ExitCode exitCode);

 private:
  std::string FallbackMessage() const;

  std::FILE* out;
  // The image's SHA-256 in hex, computed once; none when the pack fails its check, as it may not
  // even hold the image it announces.
  std::optional<std::string> imageSha256;
  std::optional<UsbKeyIdentity> key;
  std::optional<DeviceStatus> status;
  std::optional<RunOutcome> outcome;
  std::string reason;  // the first WARN or ERROR line, as it is written
  bool reasonStarted = false;
  bool reasonEnded = false;
};

}  // namespace nevrik
