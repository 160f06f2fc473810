// nevrik-usbbus: plugs emulated USB devices into a bus that a libusb program sees, runs the
// program, shows what each simulated key reports of the run and exits with the program's exit
// code. See RunnerUsage() for the command line.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "pack/embedded_pack_data.h"
#include "sim/sim_key.h"
#include "usbbus/emulated_usb_bus.h"
#include "usbbus/key_cable.h"
#include "usbbus/key_report.h"
#include "usbbus/runner_command_line.h"
#include "usbbus/stand_in_function.h"
#include "usbbus/supervised_command.h"

namespace {

using nevrik::SimKey;
using nevrik::SimUsbFunction;
using nevrik::usbbus::DeviceKind;
using nevrik::usbbus::DeviceRequest;
using nevrik::usbbus::EmulatedUsbBus;
using nevrik::usbbus::KeyCable;
using nevrik::usbbus::RunnerCommandLine;

// Exit codes of its own, apart from the command's (as env and timeout have them).
constexpr int ExitBadInput = 2;
constexpr int ExitBusFailed = 125;

int BusFailed(const std::string& why) {
  std::fprintf(stderr, "nevrik-usbbus: cannot set up the emulated USB bus: %s\n", why.c_str());
  return ExitBusFailed;
}

struct PluggedKey {
  std::shared_ptr<SimKey> key;
  std::shared_ptr<KeyCable> cable;
  EmulatedUsbBus::DeviceId id;
  std::string node;
  std::uint8_t firmwareMajor;
  std::uint8_t firmwareMinor;
  bool unplugged = false;
};

std::shared_ptr<SimUsbFunction> MakeStandIn(const DeviceRequest& request) {
  using namespace nevrik::usbbus;
  switch (request.kind) {
    case DeviceKind::StandInKey:
      return std::make_shared<StandInFunction>(
          KeyPlan(request.packetSize, request.interfaceNumber));
    case DeviceKind::OtherDevice:
      return std::make_shared<StandInFunction>(OtherVendorDevicePlan());
    default:
      return std::make_shared<StandInFunction>(WithoutMsOs20Plan());
  }
}

// The command's name as a person would say it.
std::string CommandName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int RunOnBus(const RunnerCommandLine& commandLine) {
  const int pullSignal = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (pullSignal < 0) {
    return BusFailed("no eventfd");
  }
  std::vector<PluggedKey> keys;
  int exitCode = 0;
  {
    EmulatedUsbBus bus;
    bus.TraceIoctls(commandLine.trace);
    for (const DeviceRequest& request : commandLine.devices) {
      std::shared_ptr<SimUsbFunction> function;
      if (request.kind == DeviceKind::Key) {
        nevrik::SimKeyUsbConfig usb;
        usb.maxPacketSize = request.packetSize;
        usb.vendorId = request.vendorId;
        usb.productId = request.productId;
        usb.serialNumber = request.serialNumber;
        nevrik::SimKeyFirmwareConfig firmware = request.firmware;
        // The status carries the first 16 bytes of the same number.
        firmware.serialNumber = request.serialNumber.value_or("");
        auto key = std::make_shared<SimKey>(usb, firmware);
        for (const nevrik::usbbus::KeyFaultSwitch& fault : request.faults) {
          fault(*key);
        }
        auto cable = std::make_shared<KeyCable>(key, request.cable, [pullSignal] {
          const std::uint64_t one = 1;
          if (write(pullSignal, &one, sizeof one) < 0) {
            std::perror("nevrik-usbbus: cannot signal a pulled key");
          }
        });
        keys.push_back(PluggedKey{key, cable, 0, "", request.firmware.firmwareMajor,
                                  request.firmware.firmwareMinor, false});
        function = cable;
      } else {
        function = MakeStandIn(request);
      }
      const EmulatedUsbBus::DeviceId id = bus.Plug(function, request.plug);
      if (request.kind == DeviceKind::Key) {
        keys.back().id = id;
        keys.back().node = bus.NodePath(id);
      }
      if (request.claimed) {
        bus.SetClaimedElsewhere(id, request.interfaceNumber, true);
      }
      std::printf("usbbus: plugged in at %s: %s\n", bus.NodePath(id).c_str(),
                  nevrik::usbbus::DescribeDevice(request).c_str());
    }
    nevrik::usbbus::CommandOptions options;
    if (commandLine.user) {
      options.user = commandLine.user;
      bus.OpenToUser(*commandLine.user);
    }

    nevrik::usbbus::Supervision supervision;
    if (isatty(STDIN_FILENO) == 0) {
      std::string soPin;
      for (const DeviceRequest& request : commandLine.devices) {
        if (request.kind == DeviceKind::Key && request.firmware.soPin) {
          soPin.assign(request.firmware.soPin->begin(), request.firmware.soPin->end());
          break;
        }
      }
      supervision.script.emplace(soPin);
    }
    supervision.pullSignal = pullSignal;
    supervision.unplugPulled = [&bus, &keys] {
      for (PluggedKey& plugged : keys) {
        if (plugged.cable->Pulled() && !plugged.unplugged) {
          bus.Unplug(plugged.id);
          plugged.unplugged = true;
        }
      }
    };
    nevrik::usbbus::PassOnSignals();
    exitCode = RunSupervised(bus, commandLine.command, options, supervision);
  }
  close(pullSignal);

  // The bus is gone, so nothing touches the keys any more.
  std::printf("usbbus: %s exited with %d\n", CommandName(commandLine.command.front()).c_str(),
              exitCode);
  for (const PluggedKey& plugged : keys) {
    std::printf(
        "usbbus: the simulated key at %s reports:\n%s", plugged.node.c_str(),
        nevrik::usbbus::KeyReport(*plugged.key, plugged.firmwareMajor, plugged.firmwareMinor,
                                  nevrik::EmbeddedFirmwarePackData(), plugged.cable->UpdateTime())
            .c_str());
  }
  std::fflush(stdout);
  return exitCode;
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
  RunnerCommandLine commandLine;
  std::string error;
  if (!nevrik::usbbus::ReadRunnerCommandLine(argc, argv, commandLine, error)) {
    std::fprintf(stderr, "nevrik-usbbus: %s\nTry 'nevrik-usbbus --help'.\n", error.c_str());
    return ExitBadInput;
  }
  if (commandLine.help) {
    std::fputs(nevrik::usbbus::RunnerUsage().c_str(), stdout);
    return 0;
  }
  if (commandLine.user && geteuid() != 0) {
    return BusFailed("no permission to run a command as another user (--as-user needs root)");
  }
  if (!EmulatedUsbBus::IsPreloaded()) {
    RestartUnderPreload(argv);
  }
  if (!EmulatedUsbBus::IsPreloadLoaded()) {
    return BusFailed(
        "umockdev's preload library libumockdev-preload.so.0 is missing (Debian package "
        "umockdev, which tools/setup.sh run installs)");
  }
  try {
    return RunOnBus(commandLine);
  } catch (const std::exception& failure) {
    return BusFailed(failure.what());
  }
}
