#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "protocol/device_session.h"
#include "sim/sim_key.h"
#include "sim/sim_usb_device.h"
#include "sim/sim_usb_enumerator.h"
#include "tests/support/fake_tick_source.h"
#include "tests/support/fixed_key_source.h"

namespace nevrik::test {

using Bytes = std::vector<std::uint8_t>;

// A simulated key seen through a window on the bus: every control request passes a hook first
// (tests let time pass there while the device works), and every data packet the key sends on a
// bulk IN endpoint is kept, so tests can read the answers as they travelled.
class WatchedKey final : public SimUsbFunction {
 public:
  explicit WatchedKey(std::shared_ptr<SimKey> key) : key(std::move(key)) {}

  std::vector<std::uint8_t> DeviceDescriptor() const override { return key->DeviceDescriptor(); }
  std::vector<std::uint8_t> ConfigurationDescriptor() const override {
    return key->ConfigurationDescriptor();
  }
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override;
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override {
    return key->OutPacket(endpoint, packet);
  }
  UsbInPacket InPacket(std::uint8_t endpoint) override;

  std::function<void(const UsbSetupPacket&)> onControl;
  const std::vector<Bytes>& InPackets() const { return inPackets; }

 private:
  std::shared_ptr<SimKey> key;
  std::vector<Bytes> inPackets;
};

// One session over one simulated key, with a fake clock and fixed host key pairs. The clock and
// the key source outlive the session, which refers to them.
struct SessionBench {
  explicit SessionBench(SimKeyUsbConfig usb = {}, SimKeyFirmwareConfig firmware = {},
                        FixedKeySource keys = FixedKeySource::Distinct(16));

  SimKey& Key() { return *key; }
  DeviceSession& Session() { return *session; }
  SimUsbDevice& Device() { return static_cast<SimUsbDevice&>(session->Device()); }
  const std::vector<KeyRequestRecord>& Requests() const { return key->Firmware().Requests(); }

  // Places payload with PreparePayload and sends it with Transact.
  StatusCode Send(std::uint8_t command, bool secure, std::span<const std::uint8_t> payload,
                  Bytes& response);
  StatusCode SendNoData(std::uint8_t command, bool secure, std::span<const std::uint8_t> payload);

  // GET_STATUS polls and CLEAR_FEATURE(ENDPOINT_HALT) requests the key saw for an endpoint.
  unsigned Polls(std::uint8_t endpoint) const;
  unsigned Resets(std::uint8_t endpoint) const;

  FakeTickSource ticks;
  FixedKeySource keySource;
  std::shared_ptr<SimKey> key;
  std::shared_ptr<WatchedKey> bus;
  SimUsbEnumerator enumerator;
  std::unique_ptr<DeviceSession> session;
};

SimKeyUsbConfig PacketSize(std::uint16_t maxPacketSize);

// The 12 setup parameters for an image of imageSize bytes (no SO PIN).
Bytes SetupPayload(std::uint32_t imageSize);
Bytes Sha256(std::span<const std::uint8_t> data);
// A fixed pattern of count bytes, in which neighbouring bytes differ; seed shifts it.
Bytes Pattern(std::size_t count, std::uint8_t seed = 0);

// The standard requests with which a host looks at and clears an endpoint's halt.
bool IsPoll(const UsbSetupPacket& setup, std::uint8_t endpoint);
bool IsReset(const UsbSetupPacket& setup, std::uint8_t endpoint);

}  // namespace nevrik::test
