#pragma once

#include <cryptopp/secblock.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/key_faults.h"
#include "sim/key_log.h"
#include "sim/key_wire.h"

namespace nevrik {

// Values a handshake normally draws at random, fixed to replay recorded exchanges.
struct SimKeyHandshakeValues {
  std::optional<std::vector<std::uint8_t>> privateKey;  // 32 bytes, big-endian
  std::optional<std::uint8_t> leadByte;
  std::optional<std::array<std::uint8_t, 16>> initialCounter;
  std::optional<std::array<std::uint8_t, 16>> unexamined;  // answer bytes 17-32
};

// The key's state. It changes as the key works: a wrong PIN uses up a try, an installed update
// changes the version and erases the SO PIN.
struct SimKeyFirmwareConfig {
  static constexpr std::uint8_t SoPinTryLimit = 8;

  std::uint8_t firmwareMajor = 1;
  std::uint8_t firmwareMinor = 5;
  // The version an update installs; the key does not read it from the image.
  std::uint8_t installedMajor = 2;
  std::uint8_t installedMinor = 0;
  std::optional<std::vector<std::uint8_t>> soPin;  // none: no SO PIN is set
  bool soPinLocked = false;
  std::uint8_t soPinTriesLeft = SoPinTryLimit;
  std::string serialNumber = "NVKSIM0000000001";  // at most 16 characters
  std::uint32_t buildNumber = 1;
  SimKeyHandshakeValues handshake;
};

// An update in progress, from its setup request on.
struct SimKeyUpdate {
  std::array<std::uint8_t, 8> deviceParameters{};
  std::uint32_t imageSize = 0;
  std::vector<std::uint8_t> image;  // the bytes written so far, in order
  bool deployed = false;
  bool installed = false;  // the final frame after the deploy made it the key's firmware
};

// The firmware of a simulated NEVRIK key: whole request transfers in, answer frames out.
//
// Framing. Every transfer is one request frame, answered by one frame that carries the request's
// sequence byte; CmdFinal is never answered. A transfer that is not a frame (shorter than a
// header, or without the magic) is ignored. A frame whose length disagrees with the transfer's
// size, as when two frames run together because a host left out a zero-length packet, is answered
// BadParameter (6). An unknown command is answered InvalidCommand (1).
//
// Secure messaging. A request with SecureBit is deciphered under the keys of the last handshake;
// with no keys it is answered NoEstablishedKey (5). The answer to a secure request is secure too:
// SecureBit set and a non-empty payload enciphered. CmdSetup, CmdWrite and CmdGetHash are accepted
// only secure (else NonsecureTransactionProhibited, 11), CmdHandshake only plain (else
// SecureTransactionProhibited, 10), the others either way.
//
// Commands.
//   CmdQuery      4-byte little-endian selector: SyncCheck (3) answers the 32-bit value 1,
//                 StatusSelector (16) the 108-byte status record; anything else BadParameter.
//   CmdHandshake  73 bytes: lead byte, 8-byte host id, host X, host Y. Drops the keys held, checks
//                 the host's point (InvalidKey, 9), makes a new P-256 key pair and answers 97
//                 bytes: lead byte, initial counter (16), 16 bytes of no meaning, its X, its Y.
//                 From Z = X of (its private key * host point) and the 61-byte OtherInfo it derives
//                 K = 64 bytes; the frame key is K[32..47], the initial counter the one it sent.
//   CmdSetup      8 device parameters, 32-bit little-endian image size, then the SO PIN (at most
//                 256 bytes). With an SO PIN set: a locked PIN gives PinLocked (23), a wrong one
//                 IncorrectPin (15) and uses up a try (the last try locks it), a right one restores
//                 the tries. Without an SO PIN any PIN bytes are ignored. Starts a new image.
//   CmdWrite      appends the payload to the image; before a setup OperationDenied (8), beyond the
//                 image size TooLargeData (2).
//   CmdGetHash    the SHA-256 of the bytes written since the setup; before a setup
//                 OperationDenied.
//   CmdDeploy     marks the complete image for installation; an incomplete image or no setup
//                 OperationDenied. Empty answer.
//   CmdCancelUpdate  abandons the update in progress, if any. Empty answer.
//   CmdFinal      after a deploy the key restarts into the new firmware: it reports the installed
//                 version, its SO PIN is erased (PINs and keys do not survive an update), its
//                 session keys are gone. Otherwise nothing happens.
//
// Status record, 108 bytes:
//   0        record format, 1            4-19     serial number, ASCII, zero-padded
//   1        flags: bit 0 SO PIN set,    20-101   zero (reserved)
//            bit 3 SO PIN locked         102/103  firmware major/minor
//   2        SO PIN tries left           104-107  build number, 32-bit little-endian
//   3        SO PIN try limit (8)
// A lock matters only while an SO PIN is set, as hosts read it.
class SimKeyFirmware {
 public:
  struct Answer {
    unsigned requestNumber = 0;
    std::uint8_t command = 0;
    std::optional<std::vector<std::uint8_t>> frame;  // nothing: no answer
  };

  explicit SimKeyFirmware(SimKeyFirmwareConfig config = {});

  Answer HandleTransfer(std::span<const std::uint8_t> transfer);

  // What the synchronisation class request does to the protocol: the keys and any update in
  // progress are dropped.
  void ResetProtocol();

  std::array<std::uint8_t, simkey::StatusRecordSize> StatusRecord() const;
  bool KeyEstablished() const { return !sessionKeys.empty(); }
  // The key's copy of the 64-byte session key block (frame key at 16-31, initial counter at
  // 48-63); empty without keys.
  std::vector<std::uint8_t> SessionKeyBlock() const;
  const std::optional<SimKeyUpdate>& Update() const { return update; }
  // The update in progress or, when there is none, the last one, as it stood when it ended
  // (installed, canceled, dropped by a synchronisation or replaced by a new setup); nothing before
  // the first setup. What a report on the key's update reads.
  const std::optional<SimKeyUpdate>& LatestUpdate() const { return update ? update : lastUpdate; }

  SimKeyFirmwareConfig& State() { return state; }
  const SimKeyFirmwareConfig& State() const { return state; }
  SimKeyFirmwareFaults& Faults() { return faults; }
  const std::vector<KeyRequestRecord>& Requests() const { return requests; }

 private:
  struct Reply {
    std::uint8_t status = 0;
    bool secure = false;  // SecureBit of the answer
    std::vector<std::uint8_t> payload;
    bool answered = true;
    bool encipher = false;
  };

  static Reply Refuse(simkey::KeyStatus status);
  Reply Process(const simkey::KeyFrameHeader& header, std::span<const std::uint8_t> payload);
  Reply Query(std::span<const std::uint8_t> payload) const;
  Reply Handshake(std::span<const std::uint8_t> request);
  Reply Setup(std::span<const std::uint8_t> payload);
  Reply Write(std::span<const std::uint8_t> payload);
  Reply GetHash() const;
  Reply Deploy();
  Reply Final();
  std::optional<std::vector<std::uint8_t>> BuildAnswer(unsigned number, std::uint8_t command,
                                                       std::uint8_t sequence, Reply reply);
  void Crypt(std::span<std::uint8_t> data) const;
  void EndUpdate();

  SimKeyFirmwareConfig state;
  SimKeyFirmwareFaults faults;
  CryptoPP::SecByteBlock sessionKeys;  // empty without keys
  std::optional<SimKeyUpdate> update;
  std::optional<SimKeyUpdate> lastUpdate;
  std::vector<KeyRequestRecord> requests;
};

}  // namespace nevrik
