#include "sim/sim_usb_device.h"

#include <algorithm>
#include <cstring>

#include "usb/endpoint_halt.h"

namespace nevrik {
namespace {

constexpr std::uint8_t InterfaceDescriptorType = 0x04;
constexpr std::uint8_t EndpointDescriptorType = 0x05;
constexpr std::uint8_t BulkTransferType = 0x02;
constexpr std::uint8_t RecipientMask = 0x1F;
constexpr std::uint8_t RecipientInterface = 0x01;

}  // namespace

SimUsbDevice::SimUsbDevice(std::shared_ptr<SimUsbFunction> function)
    : function(std::move(function)) {
  if (this->function) {
    DiscoverPipes();
  }
}

SimUsbDevice::~SimUsbDevice() {
  Close();
}

void SimUsbDevice::DiscoverPipes() {
  const std::vector<std::uint8_t> descriptor = function->ConfigurationDescriptor();
  bool inDefaultSetting = false;
  std::size_t at = 0;
  // Every length is checked against what is left, so a damaged descriptor ends the scan.
  while (at + 2 <= descriptor.size()) {
    const std::size_t length = descriptor[at];
    const std::uint8_t type = descriptor[at + 1];
    if (length < 2 || length > descriptor.size() - at) {
      break;
    }
    if (type == InterfaceDescriptorType && length >= 4) {
      inDefaultSetting = descriptor[at + 2] == 0 && descriptor[at + 3] == 0;
    } else if (type == EndpointDescriptorType && length >= 7 && inDefaultSetting) {
      const std::uint8_t address = descriptor[at + 2];
      const std::uint8_t attributes = descriptor[at + 3];
      const auto maxPacketSize =
          static_cast<std::uint16_t>((descriptor[at + 4] | descriptor[at + 5] << 8) & 0x07FF);
      if ((attributes & 0x03) == BulkTransferType && maxPacketSize != 0) {
        if ((address & 0x80) != 0) {
          pipes.inPipes.emplace_back(address, false, maxPacketSize);
        } else {
          pipes.outPipes.push_back(OutPipe{address, maxPacketSize, false});
        }
      }
    }
    at += length;
  }
}

void SimUsbDevice::Close() {
  function.reset();
  pipes.Clear();
  timeouts.clear();
}

unsigned SimUsbDevice::GetOutPipeCount() const {
  return static_cast<unsigned>(pipes.outPipes.size());
}

unsigned SimUsbDevice::GetInPipeCount() const {
  return static_cast<unsigned>(pipes.inPipes.size());
}

std::uint8_t SimUsbDevice::GetOutPipeId(unsigned outIndex) const {
  return pipes.outPipes.at(outIndex).pipeId;
}

std::uint8_t SimUsbDevice::GetInPipeId(unsigned inIndex) const {
  return pipes.inPipes.at(inIndex).pipeId;
}

bool SimUsbDevice::EnableShortPacketTerminate(std::uint8_t pipeId) {
  return pipes.EnableShortPacketTerminate(pipeId);
}

bool SimUsbDevice::SetPipeTimeout(std::uint8_t pipeId, std::uint32_t milliseconds) {
  if (!pipes.Contains(pipeId)) {
    return false;
  }
  for (PipeTimeoutSetting& setting : timeouts) {
    if (setting.pipeId == pipeId) {
      setting.milliseconds = milliseconds;
      return true;
    }
  }
  timeouts.push_back(PipeTimeoutSetting{pipeId, milliseconds});
  return true;
}

std::uint32_t SimUsbDevice::PipeTimeout(std::uint8_t pipeId) const {
  for (const PipeTimeoutSetting& setting : timeouts) {
    if (setting.pipeId == pipeId) {
      return setting.milliseconds;
    }
  }
  return 0;
}

bool SimUsbDevice::ControlTransfer(std::uint8_t requestType, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index, std::uint16_t length,
                                   std::uint8_t* data) {
  if (!function || (data == nullptr && length != 0)) {
    return false;
  }
  ++counts.controlTransfers;
  if ((requestType & RecipientMask) == RecipientInterface) {
    index &= 0xFF00;  // the interface number, 0, in the low byte
  }
  const UsbSetupPacket setup{requestType, request, value, index, length};
  if ((requestType & 0x80) == 0) {
    return function->Control(setup, std::span<const std::uint8_t>(data, length)).has_value();
  }
  const std::optional<std::vector<std::uint8_t>> answer = function->Control(setup, {});
  if (!answer) {
    return false;
  }
  const std::size_t copied = std::min<std::size_t>(answer->size(), length);
  if (copied != 0) {
    std::memcpy(data, answer->data(), copied);
  }
  return true;
}

bool SimUsbDevice::Write(unsigned outIndex, const std::uint8_t* data, std::uint32_t length) {
  if (!function || outIndex >= pipes.outPipes.size() || (data == nullptr && length != 0)) {
    return false;
  }
  ++counts.writes;
  const OutPipe& pipe = pipes.outPipes[outIndex];
  const auto send = [&](std::span<const std::uint8_t> packet) {
    ++counts.outPackets;
    if (!function->OutPacket(pipe.pipeId, packet)) {
      ++counts.stalledTransfers;
      return false;
    }
    return true;
  };
  std::uint32_t sent = 0;
  do {
    const std::uint32_t size = std::min<std::uint32_t>(pipe.maxPacketSize, length - sent);
    if (!send(std::span<const std::uint8_t>(data + sent, size))) {
      return false;
    }
    sent += size;
  } while (sent < length);
  if (length != 0 && length % pipe.maxPacketSize == 0 && pipe.shortPacketTerminate) {
    return send({});
  }
  return true;
}

bool SimUsbDevice::Read(unsigned inIndex, std::uint8_t* data, std::uint32_t length,
                        std::uint32_t* transferred) {
  if (!function || inIndex >= pipes.inPipes.size()) {
    return false;
  }
  return pipes.inPipes[inIndex].Read(*this, data, length, transferred);
}

std::uint16_t SimUsbDevice::InPacketLimit(std::uint8_t pipeId) const {
  const InPipe* pipe = pipes.FindIn(pipeId);
  return pipe != nullptr ? pipe->maxPacketSize : 0;
}

bool SimUsbDevice::ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
                           std::uint32_t& received) {
  ++counts.rawReads;
  received = 0;
  const std::uint16_t packetSize = InPacketLimit(pipeId);
  while (received < length) {
    const UsbInPacket packet = function->InPacket(pipeId);
    if (packet.kind == UsbInPacket::Kind::Stall) {
      ++counts.stalledTransfers;
      return false;
    }
    if (packet.kind == UsbInPacket::Kind::Nak) {
      ++counts.blockedReads;
      return false;
    }
    // More than a packet, or more than was asked for, is an overflow on a real bus.
    if (packet.bytes.size() > packetSize || packet.bytes.size() > length - received) {
      return false;
    }
    ++counts.inPackets;
    if (!packet.bytes.empty()) {
      std::memcpy(data + received, packet.bytes.data(), packet.bytes.size());
    }
    received += static_cast<std::uint32_t>(packet.bytes.size());
    if (packet.bytes.size() < packetSize) {
      break;
    }
  }
  return true;
}

bool SimUsbDevice::IsPipeHalted(std::uint8_t pipeId) {
  return QueryEndpointHalt(*this, pipeId);
}

bool SimUsbDevice::AbortPipe(std::uint8_t pipeId) {
  return function && pipes.DropStaged(pipeId);
}

bool SimUsbDevice::ResetPipe(std::uint8_t pipeId) {
  if (!function || !pipes.Contains(pipeId)) {
    return false;
  }
  return ControlTransfer(0x02, 0x01, 0, pipeId, 0, nullptr);
}

}  // namespace nevrik
