#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace nevrik {

// The 8-byte setup packet of a control transfer, as the device receives it.
struct UsbSetupPacket {
  std::uint8_t requestType;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
};

// What a bulk IN endpoint answers when the host asks it for one packet.
struct UsbInPacket {
  enum class Kind { Data, Nak, Stall };
  Kind kind = Kind::Nak;
  std::vector<std::uint8_t> bytes;  // Data only: at most the maximum packet size; empty is a ZLP
};

// A USB device seen from the bus, packet by packet: what a host controller would exchange with
// it. The simulated key implements it; two hosts drive it: SimUsbDevice, a KvUsbDevice inside the
// test process, and the emulated USB bus, which puts it behind a device node for libusb.
//
// Hosts deliver every control request here, standard ones included (GET_DESCRIPTOR for BOS and
// strings, GET_STATUS, CLEAR_FEATURE(ENDPOINT_HALT) when a host clears a halt, SET_CONFIGURATION,
// SET_INTERFACE), as well as class and vendor requests.
//
// A host splits each bulk OUT transfer into packets of at most the endpoint's maximum packet size
// and, when the transfer fills its last packet and the host terminates transfers with short
// packets, follows it with a zero-length packet; a zero-length transfer is one empty packet. For
// bulk IN, a host keeps asking for packets until its request is filled or a short packet
// (possibly empty) ends the transfer.
class SimUsbFunction {
 public:
  virtual ~SimUsbFunction() = default;

  virtual std::vector<std::uint8_t> DeviceDescriptor() const = 0;
  // The whole active configuration: configuration, interface and endpoint descriptors.
  virtual std::vector<std::uint8_t> ConfigurationDescriptor() const = 0;
  // String descriptor index in US English, as the operating system read it when the device was
  // plugged in (it keeps the serial number); nothing when the device has no such string. Asking
  // here is no request to the device.
  virtual std::optional<std::vector<std::uint8_t>> StringDescriptor(std::uint8_t index) const {
    (void)index;
    return std::nullopt;
  }

  // Device to host (bit 7 of requestType set): the data stage, at most setup.length bytes.
  // Host to device: outData is the data stage; the result is empty on success.
  // Nothing: the device stalls the request.
  virtual std::optional<std::vector<std::uint8_t>> Control(
      const UsbSetupPacket& setup, std::span<const std::uint8_t> outData) = 0;

  // One packet on a bulk OUT endpoint. False: the endpoint stalls it (it is halted).
  virtual bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) = 0;

  // The next packet of a bulk IN endpoint: data, nothing ready yet (NAK), or a stall.
  virtual UsbInPacket InPacket(std::uint8_t endpoint) = 0;
};

}  // namespace nevrik
