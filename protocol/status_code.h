#pragma once

#include <cstdint>

namespace nevrik {

// The host's result of every protocol operation. The device reports its own status numbers,
// which StatusFromDevice translates; the two numberings differ.
enum class StatusCode : std::int32_t {
  Success = 0,
  InvalidCommand = 1,
  ProtocolError = 2,
  DeviceError = 3,
  HostInternalError = 4,
  DeviceInternalError = 5,
  Busy = 6,
  BadParameter = 7,
  TooLargeData = 8,
  NoEstablishedKey = 9,
  SecureTransactionProhibited = 10,
  NonsecureTransactionProhibited = 11,
  TooManySessionsOpened = 12,
  InvalidSession = 13,
  SessionExists = 14,
  DeviceNotInitialized = 15,
  IncorrectPin = 16,
  InvalidUser = 17,
  PinNotInitialized = 18,
  NotLoggedIn = 19,
  OperationDenied = 20,
  InvalidObject = 21,
  InvalidKey = 22,
  NotEnoughStorageMemory = 23,
  WrongSignature = 24,  // no device status maps to it
  DeviceWriteProtected = 25,
  PinLocked = 26,
};

// The code's name, e.g. "InvalidCommand"; "Unknown status" for any value outside 0 to 26.
// The text is static and never freed.
const char* StatusCodeName(StatusCode code);

// Maps byte 5 of a response to a StatusCode. Only bits 0-5 (the device status) count.
StatusCode StatusFromDevice(std::uint8_t statusByte);

}  // namespace nevrik
