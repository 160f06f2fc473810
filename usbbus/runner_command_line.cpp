#include "usbbus/runner_command_line.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

namespace nevrik::usbbus {

namespace {

constexpr const char* UsageText =
    "usage: nevrik-usbbus [OPTION]... -- COMMAND [ARGUMENT]...\n"
    "Plugs emulated USB devices, in the order given, into a bus that COMMAND sees through\n"
    "libusb, runs COMMAND, and then shows what each simulated key reports of the run. Exits with\n"
    "COMMAND's exit code; 2 when this command line is wrong (nothing is plugged in then), 125\n"
    "when the bus cannot be set up, 127 when COMMAND cannot be started (a name without a slash\n"
    "is looked for on PATH only, never in the current folder).\n"
    "\n"
    "With a terminal on standard input, COMMAND shares it and you answer the updater's questions.\n"
    "Without one, this program answers them: \"y\" to the confirmation and, to the PIN prompt,\n"
    "the SO PIN of the first key that has one, each once it has been asked.\n"
    "\n"
    "Devices:\n"
    "  --key[=SETTINGS]            a simulated NEVRIK key\n"
    "  --stand-in-key[=SETTINGS]   a device announcing the NEVRIK class that echoes its bulk OUT\n"
    "                              pipe on its bulk IN pipe and halts both on the class request\n"
    "                              0x21/0xFF\n"
    "  --other-device[=SETTINGS]   a vendor-class device announcing another interface class\n"
    "  --no-msos-device[=SETTINGS] a vendor-class device without MS OS 2.0 descriptors\n"
    "Options:\n"
    "  --as-user=NAME              run COMMAND as user NAME, in NAME's group alone (needs\n"
    "                              root)\n"
    "  --trace                     write every usbfs ioctl to standard error\n"
    "  --help                      show this text\n"
    "\n"
    "SETTINGS, separated by commas. For every device:\n"
    "  bus=N, port=N               where it is plugged in (bus 1, the lowest free port)\n"
    "  packet=64|512               its bulk packet size (64): full or high speed\n"
    "  unreadable                  its device node has mode 0000: only root opens it\n"
    "  claimed                     another program holds its interface\n"
    "  driver=NAME                 a kernel driver is bound to interface 0\n"
    "  interface=N                 (stand-in key) the number of its interface (0)\n"
    "For a key:\n"
    "  firmware=MAJOR.MINOR        the firmware it runs (1.5)\n"
    "  so-pin=PIN                  its SO PIN (none), without commas\n"
    "  so-pin-locked               its SO PIN, which so-pin sets, is locked\n"
    "  usb-id=VVVV:PPPP            the vendor and product ID it announces, in hex (1209:0001,\n"
    "                              the test identity; any other stands for a real key)\n"
    "  serial=TEXT                 its USB serial number, UTF-8, at most 126 bytes, without\n"
    "                              commas (NVKSIM0000000001 for the first key, ...02 for the\n"
    "                              second, and so on)\n"
    "  no-serial                   it has no serial number\n"
    "  fault=NAME                  a fault it shows (any number of them; names below)\n"
    "  unplug-after-writes=N       it is pulled out once it has received N CmdWrite requests\n"
    "  corrupt-write=N             one bit of its N-th CmdWrite request flips on the way\n"
    "\n"
    "Fault names (fault=NAME):\n";

bool ReadNumber(std::string_view text, unsigned limit, unsigned& value) {
  if (text.empty() || text.size() > 5) {
    return false;
  }
  value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= limit;
}

bool ReadVersion(std::string_view text, SimKeyFirmwareConfig& firmware) {
  const std::size_t dot = text.find('.');
  unsigned major = 0;
  unsigned minor = 0;
  if (dot == std::string_view::npos || !ReadNumber(text.substr(0, dot), 255, major) ||
      !ReadNumber(text.substr(dot + 1), 255, minor)) {
    return false;
  }
  firmware.firmwareMajor = static_cast<std::uint8_t>(major);
  firmware.firmwareMinor = static_cast<std::uint8_t>(minor);
  return true;
}

// Four hex digits.
bool ReadHex16(std::string_view text, std::uint16_t& value) {
  if (text.size() != 4) {
    return false;
  }
  unsigned number = 0;
  for (const char c : text) {
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) {
      return false;
    }
    number = number * 16 + static_cast<unsigned>(digit);
  }
  value = static_cast<std::uint16_t>(number);
  return true;
}

bool ReadUsbId(std::string_view text, DeviceRequest& request) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && ReadHex16(text.substr(0, colon), request.vendorId) &&
         ReadHex16(text.substr(colon + 1), request.productId);
}

// What a string descriptor can hold: 126 UTF-16 code units, never fewer than 126 bytes of UTF-8.
constexpr std::size_t SerialNumberLimit = 126;

// A key setting; false when the name is not one or the value is malformed.
bool ReadKeySetting(std::string_view name, std::string_view value, bool hasValue,
                    DeviceRequest& request, std::string& error) {
  unsigned number = 0;
  if (name == "firmware" && hasValue) {
    return ReadVersion(value, request.firmware);
  }
  if (name == "so-pin" && !value.empty()) {
    request.firmware.soPin = std::vector<std::uint8_t>(value.begin(), value.end());
    return true;
  }
  if (name == "so-pin-locked" && !hasValue) {
    request.firmware.soPinLocked = true;
    return true;
  }
  if (name == "usb-id" && hasValue) {
    return ReadUsbId(value, request);
  }
  if (name == "serial" && !value.empty() && value.size() <= SerialNumberLimit) {
    request.serialNumber = std::string(value);
    request.serialGiven = true;
    return true;
  }
  if (name == "no-serial" && !hasValue) {
    request.serialNumber.reset();
    request.serialGiven = true;
    return true;
  }
  if (name == "fault" && hasValue) {
    std::optional<KeyFaultSwitch> fault = FindKeyFault(value);
    if (!fault) {
      error = "unknown fault name: " + std::string(value) + " (see --help)";
      return false;
    }
    request.faultNames.emplace_back(value);
    request.faults.push_back(std::move(*fault));
    return true;
  }
  if (name == "unplug-after-writes" && ReadNumber(value, 65535, number) && number > 0) {
    request.cable.unplugAfterWrites = number;
    return true;
  }
  if (name == "corrupt-write" && ReadNumber(value, 65535, number) && number > 0) {
    request.cable.corruptWrite = number;
    return true;
  }
  return false;
}

bool ReadSetting(std::string_view setting, DeviceRequest& request, std::string& error) {
  const std::size_t equals = setting.find('=');
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view name = setting.substr(0, equals);
  const std::string_view value = hasValue ? setting.substr(equals + 1) : "";
  unsigned number = 0;
  if (name == "bus" && ReadNumber(value, 255, number) && number > 0) {
    request.plug.bus = static_cast<std::uint8_t>(number);
  } else if (name == "port" && ReadNumber(value, 255, number) && number > 0) {
    request.plug.port = static_cast<std::uint8_t>(number);
  } else if (name == "packet" && (value == "64" || value == "512")) {
    request.packetSize = value == "64" ? 64 : 512;
  } else if (name == "interface" && ReadNumber(value, 255, number)) {
    request.interfaceNumber = static_cast<std::uint8_t>(number);
  } else if (setting == "unreadable") {
    request.plug.nodeMode = 0;
  } else if (setting == "claimed") {
    request.claimed = true;
  } else if (name == "driver" && !value.empty()) {
    request.plug.kernelDrivers[0] = std::string(value);
  } else if (request.kind != DeviceKind::Key ||
             !ReadKeySetting(name, value, hasValue, request, error)) {
    if (error.empty()) {
      error = "unknown setting or bad value: " + std::string(setting);
    }
    return false;
  }
  return true;
}

bool ReadDevice(std::string_view option, std::string_view settings, DeviceRequest& request,
                std::string& error) {
  if (option == "--key") {
    request.kind = DeviceKind::Key;
  } else if (option == "--stand-in-key") {
    request.kind = DeviceKind::StandInKey;
  } else if (option == "--other-device") {
    request.kind = DeviceKind::OtherDevice;
  } else {
    request.kind = DeviceKind::NoMsOs20Device;
  }
  while (!settings.empty()) {
    const std::size_t comma = settings.find(',');
    if (!ReadSetting(settings.substr(0, comma), request, error)) {
      error.insert(0, std::string(option) + ": ");
      return false;
    }
    settings = comma == std::string_view::npos ? "" : settings.substr(comma + 1);
  }
  // Only a PIN that is set can be locked.
  if (request.firmware.soPinLocked && !request.firmware.soPin) {
    error = std::string(option) + ": so-pin-locked needs so-pin=PIN";
    return false;
  }
  return true;
}

// Gives every device without a port the lowest one still free on its bus, as the bus would when
// plugging them in order, so that a port taken twice is refused before anything is plugged in.
bool AssignPorts(std::vector<DeviceRequest>& devices, std::string& error) {
  std::set<std::pair<unsigned, unsigned>> taken;
  for (DeviceRequest& device : devices) {
    unsigned port = device.plug.port;
    if (port == 0) {
      for (port = 1; port <= 255 && taken.contains({device.plug.bus, port}); ++port) {
      }
    }
    if (port > 255 || !taken.insert({device.plug.bus, port}).second) {
      error = "port " + std::to_string(port) + " of bus " + std::to_string(device.plug.bus) +
              " is taken";
      return false;
    }
    device.plug.port = static_cast<std::uint8_t>(port);
  }
  return true;
}

void AssignSerialNumbers(std::vector<DeviceRequest>& devices) {
  unsigned keyNumber = 0;
  for (DeviceRequest& device : devices) {
    if (device.kind != DeviceKind::Key) {
      continue;
    }
    ++keyNumber;
    if (!device.serialGiven) {
      char serial[17];
      std::snprintf(serial, sizeof serial, "NVKSIM%010u", keyNumber);
      device.serialNumber = serial;
    }
  }
}

}  // namespace

bool ReadRunnerCommandLine(int argc, const char* const* argv, RunnerCommandLine& commandLine,
                           std::string& error) {
  int index = 1;
  for (; index < argc && std::strcmp(argv[index], "--") != 0; ++index) {
    const std::string_view argument = argv[index];
    const std::size_t equals = argument.find('=');
    const std::string_view option = argument.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? "" : argument.substr(equals + 1);
    if (option == "--key" || option == "--stand-in-key" || option == "--other-device" ||
        option == "--no-msos-device") {
      DeviceRequest request;
      if (!ReadDevice(option, value, request, error)) {
        return false;
      }
      commandLine.devices.push_back(std::move(request));
    } else if (option == "--as-user" && !value.empty()) {
      commandLine.userName = std::string(value);
    } else if (argument == "--trace") {
      commandLine.trace = true;
    } else if (argument == "--help") {
      commandLine.help = true;
      return true;
    } else {
      error = "unknown option: " + std::string(argument);
      return false;
    }
  }
  if (index + 1 >= argc) {
    error = "no command to run: give it after --";
    return false;
  }
  commandLine.command.assign(argv + index + 1, argv + argc);
  if (!commandLine.userName.empty()) {
    commandLine.user = LookUpUser(commandLine.userName);
    if (!commandLine.user) {
      error = "no user " + commandLine.userName;
      return false;
    }
  }
  AssignSerialNumbers(commandLine.devices);
  return AssignPorts(commandLine.devices, error);
}

std::string RunnerUsage() {
  return UsageText + KeyFaultNamesHelp();
}

std::string DescribeDevice(const DeviceRequest& device) {
  std::string text;
  switch (device.kind) {
    case DeviceKind::Key: {
      const SimKeyFirmwareConfig& firmware = device.firmware;
      text = "a simulated key, firmware " + std::to_string(firmware.firmwareMajor) + "." +
             std::to_string(firmware.firmwareMinor);
      text += firmware.soPin
                  ? ", SO PIN " + std::string(firmware.soPin->begin(), firmware.soPin->end())
                  : ", no SO PIN";
      text += firmware.soPinLocked ? " (locked)" : "";
      if (device.vendorId != SimKeyUsbConfig::TestVendorId ||
          device.productId != SimKeyUsbConfig::TestProductId) {
        char usbId[24];
        std::snprintf(usbId, sizeof usbId, ", USB %04x:%04x", static_cast<unsigned>(device.vendorId),
                      static_cast<unsigned>(device.productId));
        text += usbId;
      }
      if (device.serialGiven) {
        text += device.serialNumber ? ", serial " + *device.serialNumber : ", no serial number";
      }
      break;
    }
    case DeviceKind::StandInKey:
      text = "a stand-in key, echoing its bulk OUT pipe";
      break;
    case DeviceKind::OtherDevice:
      text = "a vendor-class device of another interface class";
      break;
    case DeviceKind::NoMsOs20Device:
      text = "a vendor-class device without MS OS 2.0 descriptors";
      break;
  }
  text += ", " + std::to_string(device.packetSize) + "-byte packets";
  for (const std::string& fault : device.faultNames) {
    text += ", fault " + fault;
  }
  if (device.cable.corruptWrite) {
    text += ", write " + std::to_string(*device.cable.corruptWrite) + " damaged on the way";
  }
  if (device.cable.unplugAfterWrites) {
    text += ", pulled out after " + std::to_string(*device.cable.unplugAfterWrites) + " writes";
  }
  if (device.plug.nodeMode == 0) {
    text += ", node unreadable";
  }
  if (device.claimed) {
    text += ", claimed by another program";
  }
  for (const auto& [interface, driver] : device.plug.kernelDrivers) {
    text += ", driver " + driver + " bound";
  }
  return text;
}

}  // namespace nevrik::usbbus
