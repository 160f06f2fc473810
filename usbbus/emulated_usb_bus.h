#pragma once

#include <sys/types.h>
#include <umockdev.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/usb_function.h"
#include "usbbus/testbed_folder.h"
#include "usbbus/usbfs_device.h"

namespace nevrik::usbbus {

// Where and how a device is plugged in.
struct PlugOptions {
  std::uint8_t bus = 1;
  std::uint8_t port = 0;  // 0: the lowest free port of the bus
  // Of the device node. Root opens any node; 0000 keeps every other user out.
  mode_t nodeMode = 0666;
  // Interface number to kernel driver bound at plug-in (and bound again on USBDEVFS_CONNECT).
  std::map<std::uint8_t, std::string> kernelDrivers = {};
};

// A user to run a command as.
struct UserIds {
  uid_t uid;
  gid_t gid;
};

struct CommandOptions {
  std::optional<UserIds> user;  // run as this user (needs root); nothing: as this process
  int output = -1;              // descriptor for the command's standard output; -1: this one's
  int errors = -1;              // the same for standard error
  int input = -1;               // the same for standard input
};

// A USB bus with emulated devices on a machine without one, for libusb programs that know
// nothing of it: behind each plugged-in device sits a SimUsbFunction, put in a fake sysfs and
// behind a device node by umockdev, whose preload library redirects /sys, /dev and the ioctls on
// the node into this process. This process and every command it runs see the devices.
//
// The process must run under the preload (LD_PRELOAD=libumockdev-preload.so.0, or
// umockdev-wrapper); the constructor throws std::runtime_error otherwise. One bus at a time.
// Thread-safe: the devices are served on umockdev's thread.
//
//   EmulatedUsbBus bus;
//   bus.Plug(std::make_shared<StandInFunction>(KeyPlan()));
//   LibUsbEnumerator enumerator(...);   // in this process, or:
//   bus.RunCommand({"nevrik-update"});   // in a child process
class EmulatedUsbBus {
 public:
  using DeviceId = unsigned;

  EmulatedUsbBus();
  ~EmulatedUsbBus();
  EmulatedUsbBus(const EmulatedUsbBus&) = delete;
  EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

  // The preload is asked for in LD_PRELOAD.
  static bool IsPreloaded();
  // The preload library is loaded in this process: the dynamic loader only warns when
  // LD_PRELOAD names a library it cannot find.
  static bool IsPreloadLoaded();

  // Plugs a device in under the next free address of its bus; libusb hears of it at once.
  DeviceId Plug(std::shared_ptr<SimUsbFunction> function, const PlugOptions& options = {});
  // Unplugs it: its node and sysfs entry go, open handles fail with ENODEV, libusb hears of it.
  // A device plugged in again is a new DeviceId with a new address.
  void Unplug(DeviceId device);

  // Another program holds (or no longer holds) an interface through usbfs.
  void SetClaimedElsewhere(DeviceId device, std::uint8_t interface, bool claimed);
  // "usbfs" while a program holds the interface, else the bound kernel driver, or empty.
  std::string DriverOf(DeviceId device, std::uint8_t interface) const;
  // The device's next reap fails with this errno, as a usbfs failure that libusb's event
  // handling reports; its node reads as ready to reap until then.
  void FailNextReap(DeviceId device, int error);
  // Every URB submitted to the device so far.
  std::vector<UrbRecord> SubmittedUrbs(DeviceId device) const;
  std::string NodePath(DeviceId device) const;  // "/dev/bus/usb/001/002"

  // Lets commands run as this user reach the bus through the user's group: the testbed's top
  // folder, the devices' sockets and nodes become the group's (a node's mode for other users,
  // PlugOptions::nodeMode, becomes the group's), and stay closed to everyone else. Everything
  // stays root's, so that the user can add entries to the top folder (as the preload must) but
  // rename or replace nothing that root later removes or changes; before umockdev removes the
  // testbed, what the user added is removed without following a link (see TestbedFolder).
  // Throws std::runtime_error when the top folder cannot be opened.
  void OpenToUser(const UserIds& user);
  // Writes every ioctl to standard error.
  void TraceIoctls(bool trace);

  // Runs a command to its end with this process's environment, which leads it to the bus, and
  // gives its exit code (128 + signal when a signal ended it, 127 when it could not start). A
  // name without a slash is looked up on PATH only, as a shell does; a command that cannot start
  // says why in one line on its standard error. As another user, it runs in that user's group
  // alone, started from a descriptor opened before, so that it need not be within the user's
  // reach; a script's interpreter reads it from that descriptor, which the script inherits.
  int RunCommand(const std::vector<std::string>& command, const CommandOptions& options = {}) const;
  // The same in two steps, for a caller with more to do while the command runs.
  pid_t StartCommand(const std::vector<std::string>& command,
                     const CommandOptions& options = {}) const;
  static int WaitForCommand(pid_t command);

  struct State;

 private:
  struct Plugged {
    std::string node;
    std::string sysfsPath;
    std::uint8_t bus;
    std::uint8_t port;
    mode_t nodeMode;
    bool present;
  };

  const Plugged& Find(DeviceId device) const;
  void OpenDeviceToUser(const Plugged& plugged) const;

  UMockdevTestbed* testbed;
  UMockdevIoctlBase* handler;
  std::shared_ptr<State> state;
  std::vector<Plugged> plugged;
  std::map<std::uint8_t, std::uint8_t> lastAddresses;
  std::string rootDir;
  std::unique_ptr<TestbedFolder> folder;
  std::optional<UserIds> openToUser;
  bool tracing = false;
  int savedTimerSlack;
};

std::optional<UserIds> LookUpUser(const std::string& name);
// The unprivileged account ("nobody") for commands that must not run as root.
UserIds UnprivilegedUser();

}  // namespace nevrik::usbbus
