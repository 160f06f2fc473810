#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "sim/sim_key.h"
#include "sim/usb_function.h"

namespace nevrik::usbbus {

// What can happen on the way between the bus and a simulated key.
struct KeyCableSettings {
  // One bit of this CmdWrite request (1-based count of CmdWrite requests) is flipped on its way
  // to the key: a payload byte of its first packet, so the key receives a damaged image chunk.
  std::optional<unsigned> corruptWrite;
  // The key is pulled out once it has received this many CmdWrite requests: from then on it
  // answers nothing, and the cable asks the bus to unplug it.
  std::optional<unsigned> unplugAfterWrites;
};

// The cable a simulated key hangs on: it passes every packet and control request through, damages
// or cuts the connection as its settings say, and notes when the update began on the key (its
// first handshake, which follows the person's confirmation) and when its last request arrived.
// Called on the bus's thread, like the key; read its record after the bus is gone.
class KeyCable : public SimUsbFunction {
 public:
  using Clock = std::chrono::steady_clock;

  // pulled is called once, on the bus's thread with the bus locked, when the key is pulled out:
  // it must only signal, and leave the unplugging to the bus's owner.
  KeyCable(std::shared_ptr<SimKey> key, KeyCableSettings settings, std::function<void()> pulled);

  std::vector<std::uint8_t> DeviceDescriptor() const override;
  std::vector<std::uint8_t> ConfigurationDescriptor() const override;
  std::optional<std::vector<std::uint8_t>> StringDescriptor(std::uint8_t index) const override;
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override;
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  UsbInPacket InPacket(std::uint8_t endpoint) override;

  // Safe to ask from any thread.
  bool Pulled() const { return pulled; }
  // From the key's first handshake to its last request; nothing when no handshake arrived.
  std::optional<Clock::duration> UpdateTime() const;

 private:
  void NoteRequests();

  std::shared_ptr<SimKey> key;
  KeyCableSettings settings;
  std::function<void()> onPulled;
  std::uint16_t framePacketSize = 0;
  bool midTransfer = false;  // a frame transfer is under way on the frame OUT endpoint
  unsigned writesSeen = 0;   // CmdWrite transfers begun on the cable
  std::atomic<bool> pulled = false;
  std::size_t requestsSeen = 0;
  unsigned writesReceived = 0;  // CmdWrite requests in the key's record
  std::optional<Clock::time_point> firstHandshake;
  Clock::time_point lastRequest;
};

}  // namespace nevrik::usbbus
