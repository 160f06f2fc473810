#include "protocol/status_code.h"

#include <array>

namespace nevrik {

namespace {

constexpr std::array<const char*, 27> StatusNames = {
    "Success",
    "InvalidCommand",
    "ProtocolError",
    "DeviceError",
    "HostInternalError",
    "DeviceInternalError",
    "Busy",
    "BadParameter",
    "TooLargeData",
    "NoEstablishedKey",
    "SecureTransactionProhibited",
    "NonsecureTransactionProhibited",
    "TooManySessionsOpened",
    "InvalidSession",
    "SessionExists",
    "DeviceNotInitialized",
    "IncorrectPin",
    "InvalidUser",
    "PinNotInitialized",
    "NotLoggedIn",
    "OperationDenied",
    "InvalidObject",
    "InvalidKey",
    "NotEnoughStorageMemory",
    "WrongSignature",
    "DeviceWriteProtected",
    "PinLocked",
};

// Indexed by device status 0 to 23; every higher status is a device internal error.
constexpr std::array<StatusCode, 24> DeviceStatusCodes = {
    StatusCode::Success,
    StatusCode::InvalidCommand,
    StatusCode::TooLargeData,
    StatusCode::Busy,
    StatusCode::HostInternalError,
    StatusCode::NoEstablishedKey,
    StatusCode::BadParameter,
    StatusCode::DeviceInternalError,
    StatusCode::OperationDenied,
    StatusCode::InvalidKey,
    StatusCode::SecureTransactionProhibited,
    StatusCode::NonsecureTransactionProhibited,
    StatusCode::TooManySessionsOpened,
    StatusCode::InvalidSession,
    StatusCode::DeviceNotInitialized,
    StatusCode::IncorrectPin,
    StatusCode::PinNotInitialized,
    StatusCode::NotLoggedIn,
    StatusCode::InvalidUser,
    StatusCode::SessionExists,
    StatusCode::NotEnoughStorageMemory,
    StatusCode::InvalidObject,
    StatusCode::DeviceWriteProtected,
    StatusCode::PinLocked,
};

constexpr std::uint8_t DeviceStatusMask = 0x3F;

}  // namespace

const char* StatusCodeName(StatusCode code) {
  // Compared as unsigned, so negative values fall outside the table too.
  const auto index = static_cast<std::uint32_t>(code);
  return index < StatusNames.size() ? StatusNames[index] : "Unknown status";
}

StatusCode StatusFromDevice(std::uint8_t statusByte) {
  const std::uint8_t status = statusByte & DeviceStatusMask;
  return status < DeviceStatusCodes.size() ? DeviceStatusCodes[status]
                                           : StatusCode::DeviceInternalError;
}

}  // namespace nevrik
