#include "sim/sim_key.h"

#include <algorithm>

namespace nevrik {
namespace {

// bmRequestType values the key answers.
constexpr std::uint8_t StandardToDevice = 0x00;
constexpr std::uint8_t StandardToInterface = 0x01;
constexpr std::uint8_t StandardToEndpoint = 0x02;
constexpr std::uint8_t StandardFromDevice = 0x80;
constexpr std::uint8_t StandardFromInterface = 0x81;
constexpr std::uint8_t StandardFromEndpoint = 0x82;
constexpr std::uint8_t ClassToInterface = 0x21;
constexpr std::uint8_t VendorFromDevice = 0xC0;

constexpr std::uint8_t GetStatus = 0x00;
constexpr std::uint8_t ClearFeature = 0x01;
constexpr std::uint8_t SetFeature = 0x03;
constexpr std::uint8_t SetAddress = 0x05;
constexpr std::uint8_t GetDescriptor = 0x06;
constexpr std::uint8_t GetConfiguration = 0x08;
constexpr std::uint8_t SetConfiguration = 0x09;
constexpr std::uint8_t GetInterface = 0x0A;
constexpr std::uint8_t SetInterface = 0x0B;
constexpr std::uint16_t EndpointHalt = 0;

constexpr std::uint8_t SynchronizeRequest = 0xFF;
constexpr std::uint16_t MsOs20DescriptorIndex = 7;

bool IsIn(std::uint8_t address) {
  return (address & 0x80) != 0;
}

}  // namespace

SimKey::SimKey(SimKeyUsbConfig usb, SimKeyFirmwareConfig firmwareConfig)
    : config(std::move(usb)), firmware(std::move(firmwareConfig)) {
  for (const SimEndpoint& endpoint : config.ActiveEndpoints()) {
    endpoints.emplace(endpoint.address, EndpointState{endpoint});
    // An endpoint without room for a byte cannot carry frames.
    if (endpoint.type != SimEndpointType::Bulk || endpoint.maxPacketSize == 0) {
      continue;
    }
    std::optional<std::uint8_t>& frameEndpoint = IsIn(endpoint.address) ? frameIn : frameOut;
    if (!frameEndpoint) {
      frameEndpoint = endpoint.address;
    }
  }
}

std::vector<std::uint8_t> SimKey::DeviceDescriptor() const {
  return BuildDeviceDescriptor(config);
}

std::vector<std::uint8_t> SimKey::ConfigurationDescriptor() const {
  return BuildConfigurationDescriptor(config);
}

std::optional<std::vector<std::uint8_t>> SimKey::StringDescriptor(std::uint8_t index) const {
  return BuildStringDescriptor(config, index);
}

std::vector<std::uint8_t> SimKey::BosDescriptor() const {
  return BuildBosDescriptor(config);
}

std::vector<std::uint8_t> SimKey::MsOs20DescriptorSet() const {
  return BuildMsOs20DescriptorSet(config);
}

std::optional<std::vector<std::uint8_t>> SimKey::Control(const UsbSetupPacket& setup,
                                                         std::span<const std::uint8_t> outData) {
  std::optional<std::vector<std::uint8_t>> answer;
  switch (setup.requestType) {
    case ClassToInterface:
      if (setup.request == SynchronizeRequest) {
        answer = Synchronize(setup);
      }
      break;
    case VendorFromDevice:
      answer = VendorRequest(setup);
      break;
    default:
      answer = Standard(setup);
      break;
  }
  if (answer && answer->size() > setup.length) {
    answer->resize(setup.length);
  }

  KeyControlRecord record;
  record.setup = setup;
  record.stalled = !answer;
  if ((setup.requestType & 0x80) != 0) {
    if (answer) {
      record.data = *answer;
    }
  } else {
    record.data.assign(outData.begin(), outData.end());
  }
  controlRequests.push_back(std::move(record));
  return answer;
}

std::optional<std::vector<std::uint8_t>> SimKey::Standard(const UsbSetupPacket& setup) {
  using Bytes = std::vector<std::uint8_t>;
  const auto address = static_cast<std::uint8_t>(setup.index & 0xFF);
  switch (setup.requestType) {
    case StandardFromDevice:
      if (setup.request == GetDescriptor) {
        return Descriptor(setup);
      }
      if (setup.request == GetStatus) {
        return Bytes{0, 0};  // bus powered, no remote wake-up
      }
      if (setup.request == GetConfiguration) {
        return Bytes{configuration};
      }
      break;
    case StandardToDevice:
      if (setup.request == SetConfiguration && setup.value <= 1) {
        configuration = static_cast<std::uint8_t>(setup.value);
        return Bytes{};
      }
      if (setup.request == SetAddress) {
        return Bytes{};
      }
      break;
    case StandardFromInterface:
      if (setup.index == 0 && (setup.request == GetStatus || setup.request == GetInterface)) {
        return setup.request == GetStatus ? Bytes{0, 0} : Bytes{0};
      }
      break;
    case StandardToInterface:
      if (setup.request == SetInterface && setup.index == 0 && setup.value == 0) {
        return Bytes{};
      }
      break;
    case StandardFromEndpoint:
      if (setup.request == GetStatus) {
        return EndpointStatus(address);
      }
      break;
    case StandardToEndpoint:
      if (setup.value != EndpointHalt || Find(address) == nullptr) {
        break;
      }
      if (setup.request == ClearFeature) {
        return ClearHalt(address);
      }
      if (setup.request == SetFeature) {
        Find(address)->halted = true;
        return Bytes{};
      }
      break;
    default:
      break;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> SimKey::Descriptor(const UsbSetupPacket& setup) const {
  const auto type = static_cast<std::uint8_t>(setup.value >> 8);
  const auto index = static_cast<std::uint8_t>(setup.value & 0xFF);
  switch (type) {
    case 0x01:
      return index == 0 ? std::optional(DeviceDescriptor()) : std::nullopt;
    case 0x02:
      return index == 0 ? std::optional(ConfigurationDescriptor()) : std::nullopt;
    case 0x03:
      return BuildStringDescriptor(config, index);
    case 0x06:
      return config.HighSpeed() && index == 0 ? std::optional(BuildDeviceQualifierDescriptor())
                                              : std::nullopt;
    case 0x0F:
      return index == 0 ? std::optional(BosDescriptor()) : std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<std::vector<std::uint8_t>> SimKey::EndpointStatus(std::uint8_t address) {
  if ((address & 0x7F) == 0) {
    return std::vector<std::uint8_t>{0, 0};
  }
  EndpointState* endpoint = Find(address);
  if (endpoint == nullptr) {
    return std::nullopt;
  }
  if (endpoint->haltPending) {
    if (endpoint->pollsBeforeHalt > 0) {
      --endpoint->pollsBeforeHalt;
    } else {
      endpoint->haltPending = false;
      endpoint->halted = true;
    }
  }
  return std::vector<std::uint8_t>{static_cast<std::uint8_t>(endpoint->halted ? 1 : 0), 0};
}

std::optional<std::vector<std::uint8_t>> SimKey::ClearHalt(std::uint8_t address) {
  if (faults.refuseClearHalt.contains(address)) {
    return std::nullopt;
  }
  if (faults.haltSticks.contains(address)) {
    return std::vector<std::uint8_t>{};
  }
  EndpointState* endpoint = Find(address);
  endpoint->halted = false;
  endpoint->haltPending = false;
  if (address == frameOut) {
    outTransfer.clear();
  }
  if (address == frameIn && !answers.empty() && answers.front().next > 0) {
    answers.pop_front();
  }
  return std::vector<std::uint8_t>{};
}

std::optional<std::vector<std::uint8_t>> SimKey::Synchronize(const UsbSetupPacket& setup) {
  if (faults.stallClassRequest || setup.value != 0 || setup.index != 0 || setup.length != 0) {
    return std::nullopt;
  }
  firmware.ResetProtocol();
  outTransfer.clear();
  answers.clear();
  for (auto& [address, endpoint] : endpoints) {
    if (endpoint.descriptor.type != SimEndpointType::Bulk || faults.neverHalt.contains(address)) {
      continue;
    }
    if (faults.haltAfterPolls > 0) {
      endpoint.haltPending = true;
      endpoint.pollsBeforeHalt = faults.haltAfterPolls;
    } else {
      endpoint.halted = true;
    }
  }
  return std::vector<std::uint8_t>{};
}

std::optional<std::vector<std::uint8_t>> SimKey::VendorRequest(const UsbSetupPacket& setup) const {
  if (!config.msOs20.present || setup.request != config.msOs20.vendorCode || setup.value != 0 ||
      setup.index != MsOs20DescriptorIndex) {
    return std::nullopt;
  }
  return MsOs20DescriptorSet();
}

bool SimKey::OutPacket(std::uint8_t address, std::span<const std::uint8_t> packet) {
  ++counts.outPackets;
  EndpointState* endpoint = Find(address);
  if (endpoint == nullptr || IsIn(address) || endpoint->halted ||
      packet.size() > endpoint->descriptor.maxPacketSize) {
    ++counts.stalls;
    return false;
  }
  if (address != frameOut) {
    return true;
  }
  if (outTransfer.empty()) {
    ++counts.outTransfers;
    if (faults.stallOutTransfers.contains(counts.outTransfers)) {
      endpoint->halted = true;
      ++counts.stalls;
      return false;
    }
  }
  outTransfer.insert(outTransfer.end(), packet.begin(), packet.end());
  if (packet.size() < endpoint->descriptor.maxPacketSize) {
    Deliver();
  }
  return true;
}

void SimKey::Deliver() {
  const SimKeyFirmware::Answer answer = firmware.HandleTransfer(outTransfer);
  outTransfer.clear();
  if (!answer.frame || !frameIn) {
    return;
  }
  const std::size_t packetSize = Find(*frameIn)->descriptor.maxPacketSize;
  QueuedAnswer queued{answer.requestNumber, answer.command, {}, 0};
  const std::vector<std::uint8_t>& frame = *answer.frame;
  for (std::size_t at = 0; at < frame.size(); at += packetSize) {
    const std::size_t end = std::min(frame.size(), at + packetSize);
    queued.packets.emplace_back(frame.begin() + static_cast<std::ptrdiff_t>(at),
                                frame.begin() + static_cast<std::ptrdiff_t>(end));
  }
  if (frame.size() % packetSize == 0) {
    queued.packets.emplace_back();  // the zero-length packet that ends a full last packet
  }
  answers.push_back(std::move(queued));
}

UsbInPacket SimKey::InPacket(std::uint8_t address) {
  EndpointState* endpoint = Find(address);
  if (endpoint == nullptr || !IsIn(address) || endpoint->halted) {
    ++counts.stalls;
    return UsbInPacket{UsbInPacket::Kind::Stall, {}};
  }
  if (address != frameIn || answers.empty()) {
    ++counts.naks;
    return UsbInPacket{UsbInPacket::Kind::Nak, {}};
  }
  QueuedAnswer& front = answers.front();
  const auto packetIndex = static_cast<unsigned>(front.next);
  for (InStallFault& fault : faults.stallIn) {
    if (fault.packetIndex == packetIndex && fault.when.Fire(front.requestNumber, front.command)) {
      endpoint->halted = true;
      answers.pop_front();
      ++counts.stalls;
      return UsbInPacket{UsbInPacket::Kind::Stall, {}};
    }
  }
  UsbInPacket packet{UsbInPacket::Kind::Data, std::move(front.packets[front.next])};
  if (++front.next == front.packets.size()) {
    answers.pop_front();
  }
  ++counts.inPackets;
  return packet;
}

bool SimKey::IsHalted(std::uint8_t address) const {
  const auto found = endpoints.find(address);
  return found != endpoints.end() && found->second.halted;
}

std::size_t SimKey::PendingInPackets() const {
  std::size_t pending = 0;
  for (const QueuedAnswer& answer : answers) {
    pending += answer.packets.size() - answer.next;
  }
  return pending;
}

SimKey::EndpointState* SimKey::Find(std::uint8_t address) {
  const auto found = endpoints.find(address);
  return found == endpoints.end() ? nullptr : &found->second;
}

}  // namespace nevrik
