#include "tests/protocol/session_bench.h"

#include <cryptopp/sha.h>

#include <algorithm>
#include <stdexcept>

namespace nevrik::test {

namespace {

constexpr std::uint8_t StandardFromEndpoint = 0x82;
constexpr std::uint8_t StandardToEndpoint = 0x02;
constexpr std::uint8_t GetStatusRequest = 0x00;
constexpr std::uint8_t ClearFeatureRequest = 0x01;

unsigned CountRequests(const SimKey& key, bool (*matches)(const UsbSetupPacket&, std::uint8_t),
                       std::uint8_t endpoint) {
  const auto& records = key.ControlRequests();
  return static_cast<unsigned>(std::count_if(
      records.begin(), records.end(),
      [&](const KeyControlRecord& record) { return matches(record.setup, endpoint); }));
}

}  // namespace

std::optional<std::vector<std::uint8_t>> WatchedKey::Control(
    const UsbSetupPacket& setup, std::span<const std::uint8_t> outData) {
  if (onControl) {
    onControl(setup);
  }
  return key->Control(setup, outData);
}

UsbInPacket WatchedKey::InPacket(std::uint8_t endpoint) {
  UsbInPacket packet = key->InPacket(endpoint);
  if (packet.kind == UsbInPacket::Kind::Data) {
    inPackets.push_back(packet.bytes);
  }
  return packet;
}

SessionBench::SessionBench(SimKeyUsbConfig usb, SimKeyFirmwareConfig firmware, FixedKeySource keys)
    : keySource(std::move(keys)),
      key(std::make_shared<SimKey>(std::move(usb), std::move(firmware))),
      bus(std::make_shared<WatchedKey>(key)) {
  enumerator.Attach(bus);
  enumerator.Enumerate();
  session = DeviceSession::Create(enumerator, ticks, keySource);
  if (!session) {
    throw std::runtime_error("the simulated key did not open");
  }
}

StatusCode SessionBench::Send(std::uint8_t command, bool secure,
                              std::span<const std::uint8_t> payload, Bytes& response) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  std::uint8_t* area = session->PreparePayload(length);
  if (area == nullptr) {
    throw std::length_error("payload too large for a frame");
  }
  std::copy(payload.begin(), payload.end(), area);
  return session->Transact(command, secure, length, response);
}

StatusCode SessionBench::SendNoData(std::uint8_t command, bool secure,
                                    std::span<const std::uint8_t> payload) {
  const auto length = static_cast<std::uint32_t>(payload.size());
  std::uint8_t* area = session->PreparePayload(length);
  if (area == nullptr) {
    throw std::length_error("payload too large for a frame");
  }
  std::copy(payload.begin(), payload.end(), area);
  return session->TransactNoData(command, secure, length);
}

unsigned SessionBench::Polls(std::uint8_t endpoint) const {
  return CountRequests(*key, IsPoll, endpoint);
}

unsigned SessionBench::Resets(std::uint8_t endpoint) const {
  return CountRequests(*key, IsReset, endpoint);
}

bool IsPoll(const UsbSetupPacket& setup, std::uint8_t endpoint) {
  return setup.requestType == StandardFromEndpoint && setup.request == GetStatusRequest &&
         setup.index == endpoint;
}

bool IsReset(const UsbSetupPacket& setup, std::uint8_t endpoint) {
  return setup.requestType == StandardToEndpoint && setup.request == ClearFeatureRequest &&
         setup.value == 0 && setup.index == endpoint;
}

SimKeyUsbConfig PacketSize(std::uint16_t maxPacketSize) {
  SimKeyUsbConfig config;
  config.maxPacketSize = maxPacketSize;
  return config;
}

Bytes SetupPayload(std::uint32_t imageSize) {
  Bytes payload{0x08, 0x00, 0x06, 0x60, 0xFF, 0x00, 0xFF, 0xFF};
  for (int shift = 0; shift < 32; shift += 8) {
    payload.push_back(static_cast<std::uint8_t>(imageSize >> shift));
  }
  return payload;
}

Bytes Sha256(std::span<const std::uint8_t> data) {
  Bytes digest(CryptoPP::SHA256::DIGESTSIZE);
  CryptoPP::SHA256().CalculateDigest(digest.data(), data.data(), data.size());
  return digest;
}

Bytes Pattern(std::size_t count, std::uint8_t seed) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + seed);
  }
  return bytes;
}

}  // namespace nevrik::test
