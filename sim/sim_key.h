#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "sim/key_descriptors.h"
#include "sim/key_faults.h"
#include "sim/key_log.h"
#include "sim/sim_key_firmware.h"
#include "sim/usb_function.h"

namespace nevrik {

// A simulated NEVRIK key on the USB bus: the descriptors of SimKeyUsbConfig around the firmware
// of SimKeyFirmware.
//
// Frames. The first bulk OUT endpoint of interface 0, alternate setting 0 (one with a maximum
// packet size of 0 does not count), receives requests: its packets are collected until a short
// packet (a zero-length one included) ends the transfer, and each whole transfer goes to the
// firmware. So a host that leaves out the zero-length packet after a frame filling its last
// packet is caught: the key keeps waiting, and the next frame runs into the same transfer. Each
// answer is queued on the first bulk IN endpoint as packets of the endpoint's maximum size,
// followed by a zero-length packet when it fills its last packet; while nothing is queued the
// endpoint answers NAK. Other endpoints take OUT packets and drop them, and NAK IN.
//
// Synchronisation. The class request bmRequestType 0x21, bRequest 0xFF, wValue 0, wIndex 0 (the
// interface), no data, halts every bulk endpoint and resets the protocol: a transfer being
// collected and any queued answer are dropped, the session keys and any update in progress too.
// A halted endpoint stalls every packet. GET_STATUS (0x82) on an endpoint reports the halt in bit
// 0; CLEAR_FEATURE(ENDPOINT_HALT) (0x02/0x01) clears it and drops what the endpoint was in the
// middle of; SET_FEATURE(ENDPOINT_HALT) sets it.
//
// Standard requests answered: GET_DESCRIPTOR for the device, configuration, BOS, string and (at
// high speed) device-qualifier descriptors, GET_STATUS for device, interface and endpoints,
// SET/GET_CONFIGURATION, SET/GET_INTERFACE (alternate setting 0), SET_ADDRESS. The vendor request
// 0xC0 with the Microsoft OS 2.0 vendor code and wIndex 7 returns the descriptor set. Every other
// request stalls.
//
// One host drives a key at a time; nothing here locks.
class SimKey : public SimUsbFunction {
 public:
  struct Counters {
    unsigned outPackets = 0;    // OUT packets received, stalled ones included
    unsigned outTransfers = 0;  // OUT transfers begun on the frame endpoint
    unsigned inPackets = 0;     // IN packets delivered with data (zero-length ones included)
    unsigned naks = 0;          // IN requests answered NAK: nothing was queued
    unsigned stalls = 0;        // packets refused with a stall, both directions
  };

  explicit SimKey(SimKeyUsbConfig usb = {}, SimKeyFirmwareConfig firmware = {});

  std::vector<std::uint8_t> DeviceDescriptor() const override;
  std::vector<std::uint8_t> ConfigurationDescriptor() const override;
  std::optional<std::vector<std::uint8_t>> StringDescriptor(std::uint8_t index) const override;
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override;
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  UsbInPacket InPacket(std::uint8_t endpoint) override;

  std::vector<std::uint8_t> BosDescriptor() const;
  std::vector<std::uint8_t> MsOs20DescriptorSet() const;

  SimKeyFirmware& Firmware() { return firmware; }
  const SimKeyFirmware& Firmware() const { return firmware; }
  SimKeyUsbFaults& UsbFaults() { return faults; }
  const SimKeyUsbConfig& UsbConfig() const { return config; }
  const std::vector<KeyControlRecord>& ControlRequests() const { return controlRequests; }
  const Counters& Counts() const { return counts; }

  // The endpoints that carry frames; nothing when alternate setting 0 has no bulk endpoint of
  // that direction.
  std::optional<std::uint8_t> FrameOutEndpoint() const { return frameOut; }
  std::optional<std::uint8_t> FrameInEndpoint() const { return frameIn; }
  bool IsHalted(std::uint8_t endpoint) const;
  // Bytes of an OUT transfer still waiting for the packet that ends it.
  std::size_t PendingOutBytes() const { return outTransfer.size(); }
  // Answer packets queued and not yet fetched.
  std::size_t PendingInPackets() const;

 private:
  struct EndpointState {
    SimEndpoint descriptor;
    bool halted = false;
    bool haltPending = false;  // the class request's halt, shown after some GET_STATUS polls
    unsigned pollsBeforeHalt = 0;
  };
  struct QueuedAnswer {
    unsigned requestNumber = 0;
    std::uint8_t command = 0;
    std::vector<std::vector<std::uint8_t>> packets;
    std::size_t next = 0;
  };

  std::optional<std::vector<std::uint8_t>> Standard(const UsbSetupPacket& setup);
  std::optional<std::vector<std::uint8_t>> Descriptor(const UsbSetupPacket& setup) const;
  std::optional<std::vector<std::uint8_t>> EndpointStatus(std::uint8_t address);
  std::optional<std::vector<std::uint8_t>> ClearHalt(std::uint8_t address);
  std::optional<std::vector<std::uint8_t>> Synchronize(const UsbSetupPacket& setup);
  std::optional<std::vector<std::uint8_t>> VendorRequest(const UsbSetupPacket& setup) const;
  void Deliver();
  EndpointState* Find(std::uint8_t address);

  SimKeyUsbConfig config;
  SimKeyFirmware firmware;
  SimKeyUsbFaults faults;
  std::map<std::uint8_t, EndpointState> endpoints;
  std::optional<std::uint8_t> frameOut;
  std::optional<std::uint8_t> frameIn;
  std::uint8_t configuration = 1;
  std::vector<std::uint8_t> outTransfer;
  std::deque<QueuedAnswer> answers;
  std::vector<KeyControlRecord> controlRequests;
  Counters counts;
};

}  // namespace nevrik
