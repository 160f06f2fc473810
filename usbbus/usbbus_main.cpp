// nevrik-usbbus: plugs emulated USB devices into a bus that a libusb program sees, runs the
// program and exits with its exit code. See Usage below.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/sim_key.h"
#include "usbbus/emulated_usb_bus.h"
#include "usbbus/stand_in_function.h"

namespace {

using nevrik::SimUsbFunction;
using nevrik::usbbus::CommandOptions;
using nevrik::usbbus::EmulatedUsbBus;
using nevrik::usbbus::PlugOptions;
using nevrik::usbbus::StandInFunction;
using nevrik::usbbus::StandInPlan;

// Exit codes of its own, apart from the command's (as env and timeout have them).
constexpr int ExitBusFailed = 125;

constexpr const char* Usage =
    "usage: nevrik-usbbus [OPTION]... -- COMMAND [ARGUMENT]...\n"
    "Plugs emulated USB devices, in the order given, into a bus that COMMAND sees through\n"
    "libusb, runs COMMAND and exits with its exit code (125: the bus failed).\n"
    "\n"
    "  --key[=SETTINGS]            a simulated NEVRIK key\n"
    "  --stand-in-key[=SETTINGS]   a device announcing the NEVRIK class that echoes its bulk\n"
    "                              OUT pipe on its bulk IN pipe and halts both on the class\n"
    "                              request 0x21/0xFF\n"
    "  --other-device[=SETTINGS]   a vendor-class device announcing another interface class\n"
    "  --no-msos-device[=SETTINGS] a vendor-class device without MS OS 2.0 descriptors\n"
    "  --as-user=NAME              run COMMAND as user NAME (needs root)\n"
    "  --trace                     write every usbfs ioctl to standard error\n"
    "\n"
    "SETTINGS, separated by commas: bus=N, port=N, packet=64|512 (bulk packet size),\n"
    "unreadable (node mode 0000), claimed (another program holds the interface),\n"
    "driver=NAME (a kernel driver bound to interface 0); for a key also firmware=MAJOR.MINOR\n"
    "(1.5 if not given), so-pin=PIN (none if not given) and so-pin-locked; for a stand-in key\n"
    "interface=N.\n";

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

struct DeviceRequest {
  std::string kind;
  PlugOptions plug;
  std::uint16_t packetSize = 64;
  std::uint8_t interfaceNumber = 0;
  bool claimed = false;
  nevrik::SimKeyFirmwareConfig firmware;
};

bool ReadVersion(std::string_view text, nevrik::SimKeyFirmwareConfig& firmware) {
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

bool ReadSettings(std::string_view settings, DeviceRequest& request) {
  while (!settings.empty()) {
    const std::size_t comma = settings.find(',');
    const std::string_view setting = settings.substr(0, comma);
    settings = comma == std::string_view::npos ? "" : settings.substr(comma + 1);
    const std::size_t equals = setting.find('=');
    const std::string_view name = setting.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? "" : setting.substr(equals + 1);
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
    } else if (request.kind == "key" && name == "firmware") {
      if (!ReadVersion(value, request.firmware)) {
        return false;
      }
    } else if (request.kind == "key" && name == "so-pin" && !value.empty()) {
      request.firmware.soPin = std::vector<std::uint8_t>(value.begin(), value.end());
    } else if (request.kind == "key" && setting == "so-pin-locked") {
      request.firmware.soPinLocked = true;
    } else {
      return false;
    }
  }
  return true;
}

std::shared_ptr<SimUsbFunction> MakeFunction(const DeviceRequest& request) {
  if (request.kind == "key") {
    nevrik::SimKeyUsbConfig usb;
    usb.maxPacketSize = request.packetSize;
    return std::make_shared<nevrik::SimKey>(usb, request.firmware);
  }
  StandInPlan plan;
  if (request.kind == "stand-in-key") {
    plan = nevrik::usbbus::KeyPlan(request.packetSize, request.interfaceNumber);
  } else if (request.kind == "other-device") {
    plan = nevrik::usbbus::OtherVendorDevicePlan();
  } else {
    plan = nevrik::usbbus::WithoutMsOs20Plan();
  }
  return std::make_shared<StandInFunction>(std::move(plan));
}

// The bus needs this process under umockdev's preload: start again under it.
void RestartUnderPreload(char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  const std::string preloads = std::string("libumockdev-preload.so.0") +
                               (preload != nullptr ? std::string(":") + preload : "");
  setenv("LD_PRELOAD", preloads.c_str(), 1);
  // A sanitizer build would refuse to run with a library loaded before its runtime.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions =
      (asan != nullptr ? std::string(asan) + ":" : std::string()) + "verify_asan_link_order=0";
  setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
  execv("/proc/self/exe", argv);
  std::perror("nevrik-usbbus: cannot restart under the umockdev preload");
  std::exit(ExitBusFailed);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<DeviceRequest> devices;
  CommandOptions commandOptions;
  std::string userName;
  bool trace = false;
  int first = 1;
  for (; first < argc && std::strcmp(argv[first], "--") != 0; ++first) {
    const std::string_view argument = argv[first];
    const std::size_t equals = argument.find('=');
    const std::string_view option = argument.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? "" : argument.substr(equals + 1);
    if (option == "--key" || option == "--stand-in-key" || option == "--other-device" ||
        option == "--no-msos-device") {
      DeviceRequest request;
      request.kind = std::string(option.substr(2));
      if (!ReadSettings(value, request)) {
        std::fprintf(stderr, "nevrik-usbbus: bad settings: %s\n%s", argv[first], Usage);
        return ExitBusFailed;
      }
      devices.push_back(std::move(request));
    } else if (option == "--as-user" && !value.empty()) {
      userName = std::string(value);
    } else if (argument == "--trace") {
      trace = true;
    } else {
      std::fprintf(stderr, "%s", Usage);
      return argument == "--help" ? 0 : ExitBusFailed;
    }
  }
  if (first + 1 >= argc) {
    std::fprintf(stderr, "%s", Usage);
    return ExitBusFailed;
  }
  if (!EmulatedUsbBus::IsPreloaded()) {
    RestartUnderPreload(argv);
  }

  try {
    EmulatedUsbBus bus;
    bus.TraceIoctls(trace);
    for (const DeviceRequest& request : devices) {
      const EmulatedUsbBus::DeviceId device = bus.Plug(MakeFunction(request), request.plug);
      if (request.claimed) {
        bus.SetClaimedElsewhere(device, request.interfaceNumber, true);
      }
    }
    if (!userName.empty()) {
      commandOptions.user = nevrik::usbbus::LookUpUser(userName);
      if (!commandOptions.user) {
        std::fprintf(stderr, "nevrik-usbbus: no user %s\n", userName.c_str());
        return ExitBusFailed;
      }
      bus.OpenToOtherUsers();
    }
    return bus.RunCommand(std::vector<std::string>(argv + first + 1, argv + argc), commandOptions);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "nevrik-usbbus: %s\n", failure.what());
    return ExitBusFailed;
  }
}
