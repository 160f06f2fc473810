#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_key_firmware.h"
#include "usbbus/emulated_usb_bus.h"
#include "usbbus/key_cable.h"
#include "usbbus/key_fault_names.h"

// The command line of nevrik-usbbus: the devices to plug in, with their settings, and the command
// to run against them. Everything is checked here, before anything is plugged in.
namespace nevrik::usbbus {

enum class DeviceKind { Key, StandInKey, OtherDevice, NoMsOs20Device };

struct DeviceRequest {
  DeviceKind kind = DeviceKind::Key;
  PlugOptions plug;
  std::uint16_t packetSize = 64;
  std::uint8_t interfaceNumber = 0;
  bool claimed = false;
  // A simulated key only.
  std::uint16_t vendorId = SimKeyUsbConfig::TestVendorId;
  std::uint16_t productId = SimKeyUsbConfig::TestProductId;
  // Its USB serial number: given (serial=, no-serial), or else assigned, distinct for each key.
  std::optional<std::string> serialNumber;
  bool serialGiven = false;
  SimKeyFirmwareConfig firmware;
  std::vector<std::string> faultNames;
  std::vector<KeyFaultSwitch> faults;
  KeyCableSettings cable;
};

struct RunnerCommandLine {
  bool help = false;
  std::vector<DeviceRequest> devices;
  std::string userName;  // run the command as this user; empty: as this process
  std::optional<UserIds> user;
  bool trace = false;
  std::vector<std::string> command;
};

// Reads argv; false with the reason in error (one line, no newline) when the command line is
// wrong: an unknown option, setting or fault name, a malformed value, a port given twice, an
// unknown user, or no command. Keys without a serial number of their own get NVKSIM0000000001,
// NVKSIM0000000002, ... in the order given.
bool ReadRunnerCommandLine(int argc, const char* const* argv, RunnerCommandLine& commandLine,
                           std::string& error);

// The help text: options, every setting, every fault name, exit codes.
std::string RunnerUsage();

// What is plugged in, e.g. "a simulated key, firmware 1.5, SO PIN 1234, 64-byte packets".
std::string DescribeDevice(const DeviceRequest& device);

}  // namespace nevrik::usbbus
