#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/usb_function.h"
#include "usbbus/usb_descriptor_writer.h"

namespace nevrik::usbbus {

struct StandInEndpoint {
  std::uint8_t address;
  std::uint8_t transferType = 2;  // 2 bulk, 3 interrupt
  std::uint16_t maxPacketSize = 64;
};

struct StandInInterface {
  std::uint8_t number = 0;
  std::uint8_t interfaceClass = 0xFF;
  std::vector<StandInEndpoint> endpoints;
};

// What a stand-in device looks like from the bus.
struct StandInPlan {
  std::uint16_t usbVersion = 0x0210;
  std::uint16_t productId = 0x0001;
  std::vector<StandInInterface> interfaces;
  std::optional<Bytes> bos;        // nothing: GET_DESCRIPTOR(BOS) stalls
  std::optional<Bytes> msOs20Set;  // the answer to the MS OS 2.0 vendor request
  std::uint8_t msOs20VendorCode = 0x20;
  bool stallsGetStatus = false;
};

// A key as far as the transport can tell: interface interfaceNumber of vendor class with a bulk
// OUT 0x01 and a bulk IN 0x81 endpoint of maxPacketSize, announced as the NEVRIK class in its
// MS OS 2.0 descriptors (at device level for interface 0, in a function subset otherwise).
StandInPlan KeyPlan(std::uint16_t maxPacketSize = 64, std::uint8_t interfaceNumber = 0);
// The same descriptors announcing another device interface class.
StandInPlan OtherVendorDevicePlan();
// A vendor-class device for USB 2.1 whose BOS holds no MS OS 2.0 platform capability.
StandInPlan WithoutMsOs20Plan();

// A USB function for the emulated bus and the tests, built from a plan. Its first bulk OUT and
// first bulk IN endpoints echo: a transfer written to the device, ended by a short or zero-length
// packet, comes back as one transfer, itself followed by a zero-length packet when it fills its
// last packet. The class request 0x21/0xFF halts every bulk endpoint, as a key does when the
// host synchronises. It records everything the host sent. Thread-safe: the bus calls it from
// its own thread while tests look at the records.
class StandInFunction final : public SimUsbFunction {
 public:
  explicit StandInFunction(StandInPlan plan);

  std::vector<std::uint8_t> DeviceDescriptor() const override;
  std::vector<std::uint8_t> ConfigurationDescriptor() const override;
  std::optional<std::vector<std::uint8_t>> Control(const UsbSetupPacket& setup,
                                                   std::span<const std::uint8_t> outData) override;
  bool OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) override;
  UsbInPacket InPacket(std::uint8_t endpoint) override;

  std::vector<UsbSetupPacket> ControlRequests() const;
  // The sizes of the packets a bulk endpoint exchanged with the host, in order: every OUT packet
  // offered, every IN packet delivered.
  std::vector<std::size_t> PacketSizes(std::uint8_t endpoint) const;
  bool IsHalted(std::uint8_t endpoint) const;
  // Answers every IN request with a NAK until allowed again, as a busy device does.
  void HoldAnswers(bool hold);

 private:
  std::optional<std::vector<std::uint8_t>> StandardRequest(const UsbSetupPacket& setup);
  const StandInEndpoint* FindEndpoint(std::uint8_t address) const;
  void HaltBulkEndpoints();
  bool IsHaltedLocked(std::uint8_t endpoint) const;

  const StandInPlan plan;
  const StandInEndpoint* echoOut = nullptr;
  const StandInEndpoint* echoIn = nullptr;

  mutable std::mutex mutex;
  std::vector<UsbSetupPacket> controlRequests;
  std::map<std::uint8_t, std::vector<std::size_t>> packetSizes;
  std::map<std::uint8_t, bool> halted;
  Bytes transferSoFar;
  std::vector<Bytes> echoPackets;
  std::size_t nextEchoPacket = 0;
  bool holdingAnswers = false;
};

}  // namespace nevrik::usbbus
