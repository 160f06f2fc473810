#pragma once

#include <cstdint>

#include "usb/kv_usb_device.h"

namespace nevrik {

// The endpoint's Halt feature, asked with the standard USB GET_STATUS request (device to host,
// standard, recipient endpoint; wIndex the endpoint address; two status bytes, bit 0 Halt) through
// the device's own ControlTransfer. A request that fails reads as not halted. Every backend's
// IsPipeHalted is this.
inline bool QueryEndpointHalt(KvUsbDevice& device, std::uint8_t endpoint) {
  constexpr std::uint8_t GetStatusRequestType = 0x82;
  constexpr std::uint8_t GetStatusRequest = 0x00;
  constexpr std::uint16_t EndpointStatusLength = 2;
  constexpr std::uint8_t HaltBit = 0x01;
  std::uint8_t status[4] = {};  // room beyond the two bytes, zeroed, as the request may write less
  return device.ControlTransfer(GetStatusRequestType, GetStatusRequest, 0, endpoint,
                                EndpointStatusLength, status) &&
         (status[0] & HaltBit) != 0;
}

}  // namespace nevrik
