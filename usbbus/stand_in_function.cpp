#include "usbbus/stand_in_function.h"

#include <algorithm>

namespace nevrik::usbbus {

namespace {

constexpr std::uint8_t TransferTypeBulk = 2;
constexpr std::uint8_t NevrikClassRequestType = 0x21;  // host to device, class, interface
constexpr std::uint8_t NevrikSynchronizeRequest = 0xFF;

Bytes UsbExtensionCapability() {
  return {7, 0x10, 0x02, 0x02, 0x00, 0x00, 0x00};  // USB 2.0 extension: LPM
}

StandInPlan VendorInterfacePlan(std::uint16_t maxPacketSize, std::uint8_t interfaceNumber) {
  StandInPlan plan;
  plan.interfaces.push_back(StandInInterface{
      interfaceNumber,
      0xFF,
      {{0x01, TransferTypeBulk, maxPacketSize}, {0x81, TransferTypeBulk, maxPacketSize}}});
  return plan;
}

StandInPlan AnnouncingPlan(std::uint16_t maxPacketSize, std::uint8_t interfaceNumber,
                           std::string_view interfaceGuid) {
  StandInPlan plan = VendorInterfacePlan(maxPacketSize, interfaceNumber);
  MsOs20SetWriter set;
  if (interfaceNumber != 0) {
    set.BeginConfiguration(0).BeginFunction(interfaceNumber);
  }
  plan.msOs20Set = set.CompatibleId("WINUSB").InterfaceGuids({interfaceGuid}).Finish();
  plan.bos =
      BosDescriptor({UsbExtensionCapability(),
                     MsOs20PlatformCapability(static_cast<std::uint16_t>(plan.msOs20Set->size()),
                                              plan.msOs20VendorCode)});
  return plan;
}

}  // namespace

StandInPlan KeyPlan(std::uint16_t maxPacketSize, std::uint8_t interfaceNumber) {
  return AnnouncingPlan(maxPacketSize, interfaceNumber, NevrikInterfaceGuid);
}

StandInPlan OtherVendorDevicePlan() {
  StandInPlan plan = AnnouncingPlan(64, 0, "{5E3B2A71-6C4D-4F80-9A1B-2C3D4E5F6071}");
  plan.productId = 0x0002;
  return plan;
}

StandInPlan WithoutMsOs20Plan() {
  StandInPlan plan = VendorInterfacePlan(64, 0);
  plan.productId = 0x0003;
  plan.bos = BosDescriptor({UsbExtensionCapability()});
  return plan;
}

StandInFunction::StandInFunction(StandInPlan plan) : plan(std::move(plan)) {
  for (const StandInInterface& interface : this->plan.interfaces) {
    for (const StandInEndpoint& endpoint : interface.endpoints) {
      if (endpoint.transferType != TransferTypeBulk) {
        continue;
      }
      halted[endpoint.address] = false;
      const bool in = (endpoint.address & 0x80) != 0;
      const StandInEndpoint*& echo = in ? echoIn : echoOut;
      if (echo == nullptr) {
        echo = &endpoint;
      }
    }
  }
}

std::vector<std::uint8_t> StandInFunction::DeviceDescriptor() const {
  Bytes descriptor{18, 0x01};
  PutLe16(descriptor, plan.usbVersion);
  descriptor.insert(descriptor.end(), {0x00, 0x00, 0x00, 64});
  PutLe16(descriptor, 0x1209);  // a vendor id reserved for tests
  PutLe16(descriptor, plan.productId);
  PutLe16(descriptor, 0x0100);
  descriptor.insert(descriptor.end(), {0, 0, 0, 1});
  return descriptor;
}

std::vector<std::uint8_t> StandInFunction::ConfigurationDescriptor() const {
  Bytes descriptor{9, 0x02, 0,    0, static_cast<std::uint8_t>(plan.interfaces.size()),
                   1, 0,    0x80, 50};
  for (const StandInInterface& interface : plan.interfaces) {
    descriptor.insert(descriptor.end(), {9, 0x04, interface.number, 0,
                                         static_cast<std::uint8_t>(interface.endpoints.size()),
                                         interface.interfaceClass, 0, 0, 0});
    for (const StandInEndpoint& endpoint : interface.endpoints) {
      descriptor.insert(descriptor.end(), {7, 0x05, endpoint.address, endpoint.transferType});
      PutLe16(descriptor, endpoint.maxPacketSize);
      descriptor.push_back(endpoint.transferType == TransferTypeBulk ? 0 : 1);
    }
  }
  descriptor[2] = static_cast<std::uint8_t>(descriptor.size());
  descriptor[3] = static_cast<std::uint8_t>(descriptor.size() >> 8);
  return descriptor;
}

std::optional<std::vector<std::uint8_t>> StandInFunction::Control(
    const UsbSetupPacket& setup, std::span<const std::uint8_t> outData) {
  static_cast<void>(outData);
  const std::lock_guard lock(mutex);
  controlRequests.push_back(setup);
  if (setup.requestType == NevrikClassRequestType && setup.request == NevrikSynchronizeRequest) {
    HaltBulkEndpoints();
    return Bytes{};
  }
  if (setup.requestType == 0xC0 && setup.request == plan.msOs20VendorCode && setup.index == 7 &&
      plan.msOs20Set) {
    return Bytes(
        plan.msOs20Set->begin(),
        plan.msOs20Set->begin() + std::min<std::size_t>(setup.length, plan.msOs20Set->size()));
  }
  std::optional<Bytes> answer = StandardRequest(setup);
  if (answer && answer->size() > setup.length) {
    answer->resize(setup.length);
  }
  return answer;
}

std::optional<std::vector<std::uint8_t>> StandInFunction::StandardRequest(
    const UsbSetupPacket& setup) {
  const auto endpointAddress = static_cast<std::uint8_t>(setup.index);
  switch (setup.requestType << 8 | setup.request) {
    case 0x8006:  // GET_DESCRIPTOR
      switch (setup.value >> 8) {
        case 0x01:
          return DeviceDescriptor();
        case 0x02:
          return ConfigurationDescriptor();
        case 0x0F:
          return plan.bos;
        default:
          return std::nullopt;
      }
    case 0x8000:  // GET_STATUS, device
    case 0x8100:  // GET_STATUS, interface
      return Bytes{0, 0};
    case 0x8200:  // GET_STATUS, endpoint
      if (plan.stallsGetStatus) {
        return std::nullopt;
      }
      if ((endpointAddress & 0x7F) == 0) {
        return Bytes{0, 0};
      }
      if (!halted.contains(endpointAddress)) {
        return std::nullopt;
      }
      return Bytes{static_cast<std::uint8_t>(halted[endpointAddress] ? 1 : 0), 0};
    case 0x0201:  // CLEAR_FEATURE(ENDPOINT_HALT)
    case 0x0203:  // SET_FEATURE(ENDPOINT_HALT)
      if (setup.value != 0 || !halted.contains(endpointAddress)) {
        return std::nullopt;
      }
      halted[endpointAddress] = setup.request == 0x03;
      return Bytes{};
    case 0x0009:  // SET_CONFIGURATION
    case 0x010B:  // SET_INTERFACE
      return Bytes{};
    default:
      return std::nullopt;
  }
}

bool StandInFunction::OutPacket(std::uint8_t endpoint, std::span<const std::uint8_t> packet) {
  const std::lock_guard lock(mutex);
  packetSizes[endpoint].push_back(packet.size());
  if (IsHaltedLocked(endpoint)) {
    return false;
  }
  if (echoOut == nullptr || endpoint != echoOut->address || echoIn == nullptr) {
    return true;
  }
  transferSoFar.insert(transferSoFar.end(), packet.begin(), packet.end());
  if (packet.size() == echoOut->maxPacketSize) {
    return true;  // the transfer goes on
  }
  const std::size_t size = echoIn->maxPacketSize;
  for (std::size_t offset = 0; offset < transferSoFar.size(); offset += size) {
    echoPackets.emplace_back(transferSoFar.begin() + static_cast<std::ptrdiff_t>(offset),
                             transferSoFar.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                         offset + size, transferSoFar.size())));
  }
  if (transferSoFar.size() % size == 0) {
    echoPackets.emplace_back();
  }
  transferSoFar.clear();
  return true;
}

UsbInPacket StandInFunction::InPacket(std::uint8_t endpoint) {
  const std::lock_guard lock(mutex);
  UsbInPacket answer;
  if (IsHaltedLocked(endpoint)) {
    answer.kind = UsbInPacket::Kind::Stall;
    return answer;
  }
  if (holdingAnswers || echoIn == nullptr || endpoint != echoIn->address ||
      nextEchoPacket == echoPackets.size()) {
    return answer;  // NAK
  }
  answer.kind = UsbInPacket::Kind::Data;
  answer.bytes = std::move(echoPackets[nextEchoPacket++]);
  packetSizes[endpoint].push_back(answer.bytes.size());
  return answer;
}

void StandInFunction::HaltBulkEndpoints() {
  for (auto& [address, isHalted] : halted) {
    isHalted = true;
  }
  transferSoFar.clear();
  echoPackets.clear();
  nextEchoPacket = 0;
}

std::vector<UsbSetupPacket> StandInFunction::ControlRequests() const {
  const std::lock_guard lock(mutex);
  return controlRequests;
}

std::vector<std::size_t> StandInFunction::PacketSizes(std::uint8_t endpoint) const {
  const std::lock_guard lock(mutex);
  const auto found = packetSizes.find(endpoint);
  return found != packetSizes.end() ? found->second : std::vector<std::size_t>{};
}

bool StandInFunction::IsHalted(std::uint8_t endpoint) const {
  const std::lock_guard lock(mutex);
  return IsHaltedLocked(endpoint);
}

bool StandInFunction::IsHaltedLocked(std::uint8_t endpoint) const {
  const auto found = halted.find(endpoint);
  return found != halted.end() && found->second;
}

void StandInFunction::HoldAnswers(bool hold) {
  const std::lock_guard lock(mutex);
  holdingAnswers = hold;
}

}  // namespace nevrik::usbbus
