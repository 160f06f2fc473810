#include "sim/sim_key_firmware.h"

#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <algorithm>

#include "sim/key_crypto.h"

namespace nevrik {

using simkey::KeyStatus;

namespace {

constexpr std::uint8_t StatusRecordFormat = 1;
constexpr std::uint8_t FlagSoPinSet = 0x01;
constexpr std::uint8_t FlagSoPinLocked = 0x08;

std::uint8_t Code(KeyStatus status) {
  return static_cast<std::uint8_t>(status);
}

std::uint32_t ReadLittleEndian32(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void AppendLittleEndian32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

}  // namespace

SimKeyFirmware::Reply SimKeyFirmware::Refuse(KeyStatus status) {
  Reply reply;
  reply.status = Code(status);
  return reply;
}

SimKeyFirmware::SimKeyFirmware(SimKeyFirmwareConfig config) : state(std::move(config)) {}

SimKeyFirmware::Answer SimKeyFirmware::HandleTransfer(std::span<const std::uint8_t> transfer) {
  KeyRequestRecord record;
  record.number = static_cast<unsigned>(requests.size()) + 1;
  record.transfer.assign(transfer.begin(), transfer.end());
  Answer answer;
  answer.requestNumber = record.number;

  const std::optional<simkey::KeyFrameHeader> header = simkey::ParseKeyFrameHeader(transfer);
  if (!header) {
    requests.push_back(std::move(record));
    return answer;
  }
  answer.command = header->code;
  record.sequence = header->sequence;
  record.command = header->code;
  record.secure = header->secure;
  record.length = header->length;
  record.framed = transfer.size() == simkey::HeaderSize + header->length;
  record.payload.assign(transfer.begin() + simkey::HeaderSize, transfer.end());
  if (record.framed && header->secure && KeyEstablished()) {
    Crypt(record.payload);
    record.deciphered = true;
  }

  Reply reply;
  const auto statusFault =
      std::find_if(faults.responses.begin(), faults.responses.end(), [&](ResponseFault& fault) {
        return fault.kind == ResponseFaultKind::DeviceStatus &&
               fault.when.Fire(record.number, header->code);
      });
  if (statusFault != faults.responses.end()) {
    reply.status = statusFault->status;
    reply.secure = statusFault->secureBit;
    reply.payload = statusFault->payload;
  } else if (!record.framed) {
    reply.status = Code(KeyStatus::BadParameter);
  } else if (header->secure && !KeyEstablished()) {
    reply.status = Code(KeyStatus::NoEstablishedKey);
  } else {
    reply = Process(*header, record.payload);
    reply.secure = header->secure;
    reply.encipher = header->secure;
  }

  if (reply.answered) {
    record.status = reply.status & simkey::CodeMask;
  }
  answer.frame = BuildAnswer(record.number, header->code, header->sequence, std::move(reply));
  if (!answer.frame) {
    record.status.reset();
  }
  requests.push_back(std::move(record));
  return answer;
}

SimKeyFirmware::Reply SimKeyFirmware::Process(const simkey::KeyFrameHeader& header,
                                              std::span<const std::uint8_t> payload) {
  switch (header.code) {
    case simkey::CmdQuery:
      return Query(payload);
    case simkey::CmdHandshake:
      return header.secure ? Refuse(KeyStatus::SecureTransactionProhibited) : Handshake(payload);
    case simkey::CmdSetup:
      return header.secure ? Setup(payload) : Refuse(KeyStatus::NonsecureTransactionProhibited);
    case simkey::CmdWrite:
      return header.secure ? Write(payload) : Refuse(KeyStatus::NonsecureTransactionProhibited);
    case simkey::CmdGetHash:
      return header.secure ? GetHash() : Refuse(KeyStatus::NonsecureTransactionProhibited);
    case simkey::CmdDeploy:
      return Deploy();
    case simkey::CmdCancelUpdate:
      EndUpdate();
      return Reply{};
    case simkey::CmdFinal:
      return Final();
    default:
      return Refuse(KeyStatus::InvalidCommand);
  }
}

SimKeyFirmware::Reply SimKeyFirmware::Query(std::span<const std::uint8_t> payload) const {
  if (payload.size() != 4) {
    return Refuse(KeyStatus::BadParameter);
  }
  Reply reply;
  switch (ReadLittleEndian32(payload)) {
    case simkey::SelectorSyncCheck:
      AppendLittleEndian32(reply.payload, faults.checkValue);
      return reply;
    case simkey::SelectorStatus: {
      if (faults.statusBusy) {
        return Refuse(KeyStatus::Busy);
      }
      const auto record = StatusRecord();
      reply.payload.assign(record.begin(), record.end());
      return reply;
    }
    default:
      return Refuse(KeyStatus::BadParameter);
  }
}

SimKeyFirmware::Reply SimKeyFirmware::Handshake(std::span<const std::uint8_t> request) {
  sessionKeys.CleanNew(0);
  if (request.size() != simkey::HandshakeRequestSize) {
    return Refuse(KeyStatus::BadParameter);
  }
  simkey::KeyPoint host;
  std::copy_n(request.begin() + 9, 32, host.x.begin());
  std::copy_n(request.begin() + 41, 32, host.y.begin());
  if (!simkey::IsValidPoint(host)) {
    return Refuse(KeyStatus::InvalidKey);
  }

  const SimKeyHandshakeValues& fixed = state.handshake;
  std::optional<std::span<const std::uint8_t>> fixedPrivateKey;
  if (fixed.privateKey) {
    fixedPrivateKey = *fixed.privateKey;
  }
  const std::optional<simkey::KeyPair> pair = simkey::MakeKeyPair(fixedPrivateKey);
  if (!pair) {
    return Refuse(KeyStatus::InternalError);
  }

  Reply reply;
  std::vector<std::uint8_t>& response = reply.payload;
  response.assign(simkey::HandshakeResponseSize, 0);
  if (!fixed.leadByte || !fixed.initialCounter || !fixed.unexamined) {
    CryptoPP::AutoSeededRandomPool random;  // opens the system's source: only when needed
    random.GenerateBlock(response.data(), 33);
  }
  if (fixed.leadByte) {
    response[0] = *fixed.leadByte;
  }
  if (fixed.initialCounter) {
    std::copy(fixed.initialCounter->begin(), fixed.initialCounter->end(), response.begin() + 1);
  }
  if (fixed.unexamined) {
    std::copy(fixed.unexamined->begin(), fixed.unexamined->end(), response.begin() + 17);
  }

  simkey::KeyPoint sent = pair->publicKey;
  if (faults.invalidKeyHandshakes > 0) {
    --faults.invalidKeyHandshakes;
    if (faults.invalidKeyKind == InvalidKeyKind::NotOnCurve) {
      sent.y[31] ^= 0x01;
    } else {
      sent = simkey::PointWithCoordinateAbovePrime();
    }
  }
  std::copy(sent.x.begin(), sent.x.end(), response.begin() + 33);
  std::copy(sent.y.begin(), sent.y.end(), response.begin() + 65);
  if (!simkey::IsValidPoint(sent)) {
    return reply;  // the host cannot agree with this answer, so the key keeps no keys either
  }

  const std::optional<CryptoPP::SecByteBlock> z = simkey::AgreeWith(pair->privateKey, host);
  if (!z) {
    return Refuse(KeyStatus::InvalidKey);
  }
  const auto otherInfo = simkey::BuildOtherInfo(request, response);
  const CryptoPP::SecByteBlock material = simkey::DeriveKeyMaterial(*z, otherInfo);
  // The same layout as the host's key block: K[16..63], then the initial counter.
  sessionKeys.CleanNew(64);
  std::copy(material.begin() + 16, material.end(), sessionKeys.begin());
  std::copy_n(response.begin() + 1, 16, sessionKeys.begin() + 48);
  return reply;
}

SimKeyFirmware::Reply SimKeyFirmware::Setup(std::span<const std::uint8_t> payload) {
  if (payload.size() < simkey::SetupParametersSize ||
      payload.size() > simkey::SetupParametersSize + simkey::SoPinLengthLimit) {
    return Refuse(KeyStatus::BadParameter);
  }
  if (state.soPin) {
    if (state.soPinLocked) {
      return Refuse(KeyStatus::PinLocked);
    }
    const auto pin = payload.subspan(simkey::SetupParametersSize);
    if (!std::equal(pin.begin(), pin.end(), state.soPin->begin(), state.soPin->end())) {
      if (state.soPinTriesLeft > 0) {
        --state.soPinTriesLeft;
      }
      state.soPinLocked = state.soPinTriesLeft == 0;
      return Refuse(KeyStatus::IncorrectPin);
    }
    state.soPinTriesLeft = SimKeyFirmwareConfig::SoPinTryLimit;
  }
  EndUpdate();
  update.emplace();
  std::copy_n(payload.begin(), 8, update->deviceParameters.begin());
  update->imageSize = ReadLittleEndian32(payload.subspan(8, 4));
  return Reply{};
}

SimKeyFirmware::Reply SimKeyFirmware::Write(std::span<const std::uint8_t> payload) {
  if (!update || update->deployed) {
    return Refuse(KeyStatus::OperationDenied);
  }
  if (payload.size() > update->imageSize - update->image.size()) {
    return Refuse(KeyStatus::TooLargeData);
  }
  update->image.insert(update->image.end(), payload.begin(), payload.end());
  return Reply{};
}

SimKeyFirmware::Reply SimKeyFirmware::GetHash() const {
  if (!update) {
    return Refuse(KeyStatus::OperationDenied);
  }
  Reply reply;
  reply.payload.resize(CryptoPP::SHA256::DIGESTSIZE);
  CryptoPP::SHA256().CalculateDigest(reply.payload.data(), update->image.data(),
                                     update->image.size());
  return reply;
}

SimKeyFirmware::Reply SimKeyFirmware::Deploy() {
  if (!update || update->image.size() != update->imageSize) {
    return Refuse(KeyStatus::OperationDenied);
  }
  update->deployed = true;
  return Reply{};
}

SimKeyFirmware::Reply SimKeyFirmware::Final() {
  if (update && update->deployed) {
    state.firmwareMajor = state.installedMajor;
    state.firmwareMinor = state.installedMinor;
    state.soPin.reset();
    state.soPinLocked = false;
    state.soPinTriesLeft = SimKeyFirmwareConfig::SoPinTryLimit;
    update->installed = true;
    EndUpdate();
    sessionKeys.CleanNew(0);
  }
  Reply reply;
  reply.answered = false;
  return reply;
}

void SimKeyFirmware::ResetProtocol() {
  sessionKeys.CleanNew(0);
  EndUpdate();
}

void SimKeyFirmware::EndUpdate() {
  if (update) {
    lastUpdate = std::move(update);
    update.reset();
  }
}

std::optional<std::vector<std::uint8_t>> SimKeyFirmware::BuildAnswer(unsigned number,
                                                                     std::uint8_t command,
                                                                     std::uint8_t sequence,
                                                                     Reply reply) {
  if (!reply.answered) {
    return std::nullopt;
  }
  bool wrongMagic = false;
  bool wrongSequence = false;
  bool headerOnly = false;
  bool shortPayload = false;
  for (ResponseFault& fault : faults.responses) {
    if (fault.kind == ResponseFaultKind::DeviceStatus || !fault.when.Fire(number, command)) {
      continue;
    }
    switch (fault.kind) {
      case ResponseFaultKind::PayloadSize:
        reply.payload.resize(fault.size, 0);
        break;
      case ResponseFaultKind::CorruptPayload:
        if (!reply.payload.empty()) {
          reply.payload[0] ^= 0x01;
        }
        break;
      case ResponseFaultKind::WrongMagic:
        wrongMagic = true;
        break;
      case ResponseFaultKind::WrongSequence:
        wrongSequence = true;
        break;
      case ResponseFaultKind::HeaderOnly:
        headerOnly = true;
        break;
      case ResponseFaultKind::ShortPayload:
        shortPayload = true;
        break;
      case ResponseFaultKind::NoResponse:
        return std::nullopt;
      case ResponseFaultKind::DeviceStatus:
        break;
    }
  }

  if (reply.encipher && reply.status == 0 && KeyEstablished()) {
    Crypt(reply.payload);
  }
  std::vector<std::uint8_t> frame =
      simkey::BuildKeyFrame(wrongSequence ? static_cast<std::uint8_t>(sequence - 1) : sequence,
                            reply.status, reply.secure, reply.payload);
  if (wrongMagic) {
    frame[3] = 'X';
  }
  if (shortPayload) {
    const std::size_t announced = reply.payload.size() + 1;
    frame[6] = static_cast<std::uint8_t>(announced & 0xFF);
    frame[7] = static_cast<std::uint8_t>(announced >> 8);
  }
  if (headerOnly) {
    frame.resize(6);
  }
  return frame;
}

void SimKeyFirmware::Crypt(std::span<std::uint8_t> data) const {
  simkey::CryptPayloadInPlace(std::span<const std::uint8_t, 16>(sessionKeys.data() + 16, 16),
                              std::span<const std::uint8_t, 16>(sessionKeys.data() + 48, 16), data);
}

std::array<std::uint8_t, simkey::StatusRecordSize> SimKeyFirmware::StatusRecord() const {
  std::array<std::uint8_t, simkey::StatusRecordSize> record{};
  record[0] = StatusRecordFormat;
  record[1] = static_cast<std::uint8_t>((state.soPin ? FlagSoPinSet : 0) |
                                        (state.soPinLocked ? FlagSoPinLocked : 0));
  record[2] = state.soPinTriesLeft;
  record[3] = SimKeyFirmwareConfig::SoPinTryLimit;
  std::copy_n(state.serialNumber.begin(), std::min<std::size_t>(state.serialNumber.size(), 16),
              record.begin() + 4);
  record[102] = state.firmwareMajor;
  record[103] = state.firmwareMinor;
  for (int i = 0; i < 4; ++i) {
    record[104 + i] = static_cast<std::uint8_t>(state.buildNumber >> (8 * i));
  }
  return record;
}

std::vector<std::uint8_t> SimKeyFirmware::SessionKeyBlock() const {
  return std::vector<std::uint8_t>(sessionKeys.begin(), sessionKeys.end());
}

}  // namespace nevrik
