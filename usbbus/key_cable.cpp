#include "usbbus/key_cable.h"

#include "sim/key_wire.h"

namespace nevrik::usbbus {

KeyCable::KeyCable(std::shared_ptr<SimKey> key, KeyCableSettings settings,
                   std::function<void()> pulled)
    : key(std::move(key)), settings(settings), onPulled(std::move(pulled)) {
  for (const SimEndpoint& endpoint : this->key->UsbConfig().ActiveEndpoints()) {
    if (endpoint.address == this->key->FrameOutEndpoint()) {
      framePacketSize = endpoint.maxPacketSize;
    }
  }
}

std::vector<std::uint8_t> KeyCable::DeviceDescriptor() const {
  return key->DeviceDescriptor();
}

std::vector<std::uint8_t> KeyCable::ConfigurationDescriptor() const {
  return key->ConfigurationDescriptor();
}

std::optional<std::vector<std::uint8_t>> KeyCable::StringDescriptor(std::uint8_t index) const {
  return key->StringDescriptor(index);
}

std::optional<std::vector<std::uint8_t>> KeyCable::Control(const UsbSetupPacket& setup,
                                                           std::span<const std::uint8_t> outData) {
  if (pulled) {
    return std::nullopt;
  }
  return key->Control(setup, outData);
}

bool KeyCable::OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
  if (pulled) {
    return false;
  }
  if (endpoint != key->FrameOutEndpoint()) {
    return key->OutPacket(endpoint, packet);
  }

  std::vector<std::uint8_t> carried(packet.begin(), packet.end());
  if (!midTransfer) {
    const std::optional<simkey::KeyFrameHeader> header = simkey::ParseKeyFrameHeader(carried);
    if (header && header->code == simkey::CmdWrite &&
        ++writesSeen == settings.corruptWrite.value_or(0) && carried.size() > simkey::HeaderSize) {
      carried.back() ^= 0x01;
    }
  }
  const bool accepted = key->OutPacket(endpoint, carried);
  midTransfer = accepted && carried.size() == framePacketSize;
  NoteRequests();
  if (settings.unplugAfterWrites && writesReceived >= *settings.unplugAfterWrites) {
    pulled = true;
    onPulled();
  }
  return accepted;
}

UsbInPacket KeyCable::InPacket(std::uint8_t endpoint) {
  if (pulled) {
    return UsbInPacket{UsbInPacket::Kind::Nak, {}};
  }
  return key->InPacket(endpoint);
}

std::optional<KeyCable::Clock::duration> KeyCable::UpdateTime() const {
  if (!firstHandshake) {
    return std::nullopt;
  }
  return lastRequest - *firstHandshake;
}

// The key's own record says what it received; the cable only reads it.
void KeyCable::NoteRequests() {
  const std::vector<KeyRequestRecord>& requests = key->Firmware().Requests();
  if (requests.size() == requestsSeen) {
    return;
  }
  lastRequest = Clock::now();
  for (std::size_t index = requestsSeen; index < requests.size(); ++index) {
    writesReceived += requests[index].command == simkey::CmdWrite ? 1 : 0;
    if (requests[index].command == simkey::CmdHandshake && !firstHandshake) {
      firstHandshake = lastRequest;
    }
  }
  requestsSeen = requests.size();
}

}  // namespace nevrik::usbbus
