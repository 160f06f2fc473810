#include "tests/support/scripted_key_device.h"

#include <cryptopp/asn.h>
#include <cryptopp/eccrypto.h>
#include <cryptopp/ecp.h>
#include <cryptopp/oids.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace nevrik::test {

namespace {

constexpr std::uint8_t Magic[] = {'N', 'V', 'K', 'W'};
constexpr std::uint8_t CommandMask = 0x3F;
constexpr std::uint8_t CmdHandshake = 0x04;
constexpr std::uint8_t CmdGetHash = 0x24;

// leadByte, initialCounter, 16 bytes the host ignores, device key X and Y. The device key is the
// curve's base point: a valid key, so the host's agreement succeeds.
std::array<std::uint8_t, 97> MakeHandshakeAnswer() {
  std::array<std::uint8_t, 97> answer{};
  for (std::size_t i = 1; i < 33; ++i) {
    answer[i] = static_cast<std::uint8_t>(0xC0 + i);
  }
  const CryptoPP::DL_GroupParameters_EC<CryptoPP::ECP> curve(CryptoPP::ASN1::secp256r1());
  std::uint8_t point[65];
  curve.EncodeElement(true, curve.GetSubgroupGenerator(), point);  // 0x04, X, Y
  std::copy(point + 1, point + 65, answer.begin() + 33);
  return answer;
}

}  // namespace

ScriptedKeyDevice::ScriptedKeyDevice(std::uint16_t maxPacketSize,
                                     std::span<const std::uint8_t, 32> imageDigest)
    : handshakeAnswer(MakeHandshakeAnswer()) {
  std::copy(imageDigest.begin(), imageDigest.end(), digest.begin());
  pipes.outPipes.push_back(OutPipe{OutPipeId, maxPacketSize, false});
  pipes.inPipes.emplace_back(InPipeId, false, maxPacketSize);
}

void ScriptedKeyDevice::Close() {
  open = false;
}

unsigned ScriptedKeyDevice::GetOutPipeCount() const {
  return static_cast<unsigned>(pipes.outPipes.size());
}

unsigned ScriptedKeyDevice::GetInPipeCount() const {
  return static_cast<unsigned>(pipes.inPipes.size());
}

std::uint8_t ScriptedKeyDevice::GetOutPipeId(unsigned outIndex) const {
  return pipes.outPipes.at(outIndex).pipeId;
}

std::uint8_t ScriptedKeyDevice::GetInPipeId(unsigned inIndex) const {
  return pipes.inPipes.at(inIndex).pipeId;
}

bool ScriptedKeyDevice::EnableShortPacketTerminate(std::uint8_t pipeId) {
  return pipes.EnableShortPacketTerminate(pipeId);
}

bool ScriptedKeyDevice::SetPipeTimeout(std::uint8_t pipeId, std::uint32_t) {
  return pipes.Contains(pipeId);
}

bool ScriptedKeyDevice::ControlTransfer(std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t,
                                        std::uint16_t, std::uint8_t*) {
  return open;
}

bool ScriptedKeyDevice::Write(unsigned outIndex, const std::uint8_t* data, std::uint32_t length) {
  if (!open || outIndex != 0 || length < sizeof Magic + 4 ||
      std::memcmp(data, Magic, sizeof Magic) != 0) {
    return false;
  }
  const OutPipe& pipe = pipes.outPipes[0];
  counts.outTransfers += pipe.shortPacketTerminate && length % pipe.maxPacketSize == 0 ? 2 : 1;
  if (onRequest) {
    onRequest(std::span<const std::uint8_t>(data, length));
  }
  const std::uint8_t command = data[5] & CommandMask;
  if (command == CmdHandshake) {
    Answer(data[4], handshakeAnswer);
  } else if (command == CmdGetHash) {
    Answer(data[4], digest);
  } else {
    Answer(data[4], {});
  }
  return true;
}

// Status 0 with the secure bit clear: the payload travels in clear.
void ScriptedKeyDevice::Answer(std::uint8_t sequence, std::span<const std::uint8_t> payload) {
  std::memcpy(answer.data(), Magic, sizeof Magic);
  answer[4] = sequence;
  answer[5] = 0;
  answer[6] = static_cast<std::uint8_t>(payload.size());
  answer[7] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), answer.begin() + 8);
  answerLength = static_cast<std::uint32_t>(8 + payload.size());
  answerSent = 0;
  answerPending = true;
}

bool ScriptedKeyDevice::Read(unsigned inIndex, std::uint8_t* data, std::uint32_t length,
                             std::uint32_t* transferred) {
  if (!open || inIndex != 0) {
    return false;
  }
  return pipes.inPipes[0].Read(*this, data, length, transferred);
}

// Packet by packet, as a device sends: full packets, then a short one (empty when the answer
// filled its last packet), which ends the transfer.
bool ScriptedKeyDevice::ReadRaw(std::uint8_t, std::uint8_t* data, std::uint32_t length,
                                std::uint32_t& received) {
  ++counts.inTransfers;
  const std::uint32_t packetSize = pipes.inPipes[0].maxPacketSize;
  received = 0;
  while (received < length) {
    if (!answerPending) {
      return false;  // nothing to send: a real read would wait for ever
    }
    const std::uint32_t packet = std::min(packetSize, answerLength - answerSent);
    if (packet > length - received) {
      return false;  // an overflow on a real bus
    }
    std::memcpy(data + received, answer.data() + answerSent, packet);
    received += packet;
    answerSent += packet;
    if (packet < packetSize) {
      answerPending = false;
      break;
    }
  }
  return true;
}

bool ScriptedKeyDevice::IsPipeHalted(std::uint8_t) {
  return false;
}

bool ScriptedKeyDevice::AbortPipe(std::uint8_t pipeId) {
  return pipes.DropStaged(pipeId);
}

bool ScriptedKeyDevice::ResetPipe(std::uint8_t pipeId) {
  return pipes.Contains(pipeId);
}

UsbOpenResult ScriptedKeyEnumerator::OpenDevice(unsigned index,
                                                std::unique_ptr<KvUsbDevice>& opened) {
  if (index != 0 || device == nullptr) {
    opened.reset();
    return UsbOpenResult::OpenFailed;
  }
  opened = std::move(device);
  return UsbOpenResult::Opened;
}

std::unique_ptr<KvUsbDevice> ScriptedKeyEnumerator::OpenDeviceOrNull(unsigned index) {
  if (index != 0) {
    throw std::out_of_range("no such device");
  }
  std::unique_ptr<KvUsbDevice> opened;
  OpenDevice(index, opened);
  return opened;
}

}  // namespace nevrik::test
