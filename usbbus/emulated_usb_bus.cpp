#include "usbbus/emulated_usb_bus.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace nevrik::usbbus {

namespace {

constexpr int UsbMajor = 189;
constexpr int FullSpeed = 12;  // Mbit/s, as sysfs has it
constexpr int HighSpeed = 480;
constexpr int UsbSpeedFull = 2;  // USB_SPEED_* of usbdevfs
constexpr int UsbSpeedHigh = 3;
constexpr std::uint8_t FirstDeviceAddress = 2;  // 1 is the root hub's
constexpr std::uint8_t LastDeviceAddress = 127;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char digits[3];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

// Full speed for 64-byte bulk packets, high speed for larger ones.
bool IsHighSpeed(const std::vector<std::uint8_t>& configuration) {
  for (std::size_t offset = 0; offset + 7 <= configuration.size();) {
    const std::size_t length = configuration[offset];
    if (length < 2 || offset + length > configuration.size()) {
      break;
    }
    if (configuration[offset + 1] == 0x05 && length >= 7 &&
        (configuration[offset + 3] & 0x03) == 2 &&
        (configuration[offset + 4] | configuration[offset + 5] << 8) > 64) {
      return true;
    }
    offset += length;
  }
  return false;
}

template <typename... Values>
std::string Format(const char* format, Values... values) {
  char text[64];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

void Fail(const std::string& what, GError* error) {
  const std::string message = what + ": " + (error != nullptr ? error->message : "failed");
  if (error != nullptr) {
    g_error_free(error);
  }
  throw std::runtime_error(message);
}

// A node's folder within the testbed and its name: "dev/bus/usb/001" and "002".
std::pair<std::string, std::string> SplitNode(const std::string& node) {
  const std::size_t slash = node.rfind('/');
  return {node.substr(1, slash - 1), node.substr(slash + 1)};
}

// A name with a slash is a path; one without is looked for in the absolute folders of PATH, as
// a shell does, and never in the current folder: as root, that would run whatever lies there.
std::optional<std::string> FindProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return name;
  }
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    const std::size_t end = std::min(folders.find(':', start), folders.size());
    const std::string folder = folders.substr(start, end - start);
    start = end + 1;
    if (folder.empty() || folder.front() != '/') {
      continue;
    }
    const std::string candidate = folder + "/" + name;
    struct stat file {};
    if (stat(candidate.c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
        access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return std::nullopt;
}

// For the child between fork and exec, where only async-signal-safe calls may be made: one write
// of the pieces, without allocating.
void WriteError(std::initializer_list<const char*> pieces) {
  char line[512];
  std::size_t length = 0;
  for (const char* piece : pieces) {
    for (; *piece != '\0' && length < sizeof line; ++piece) {
      line[length++] = *piece;
    }
  }
  if (write(STDERR_FILENO, line, length) < 0) {
    return;  // nowhere left to say it
  }
}

// A child that cannot become the command says which call failed and why, and ends as a shell
// does for a command it cannot run.
[[noreturn]] void FailToStart(const char* name, const char* call) {
  const char* reason = strerrordesc_np(errno);
  WriteError({"nevrik-usbbus: cannot start ", name, ": ", call, ": ",
              reason != nullptr ? reason : "unknown error", "\n"});
  _exit(127);
}

}  // namespace

// What umockdev's thread and the bus share; the callbacks hold a reference of their own, so it
// outlives the bus until umockdev lets go of them.
struct EmulatedUsbBus::State {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<UsbfsDevice>> devices;  // by node, gone ones included
  GMainContext* workerContext = nullptr;
  GSource* retryTimer = nullptr;
  bool closed = false;

  UsbfsDevice* DeviceAt(const char* node) {
    const auto found = devices.find(node != nullptr ? node : "");
    return found != devices.end() ? found->second.get() : nullptr;
  }

  // A host controller asks a NAKing endpoint again every frame; so does this, every
  // millisecond, while an IN URB waits.
  void ScheduleRetry(const std::shared_ptr<State>& reference) {
    if (retryTimer != nullptr || workerContext == nullptr) {
      return;
    }
    retryTimer = g_timeout_source_new(1);
    g_source_set_callback(retryTimer, RetryPendingIn, new std::shared_ptr<State>(reference),
                          ReleaseReference);
    g_source_attach(retryTimer, workerContext);
  }

  static gboolean RetryPendingIn(gpointer user) {
    State& state = **static_cast<std::shared_ptr<State>*>(user);
    const std::lock_guard lock(state.mutex);
    bool waiting = false;
    if (!state.closed) {
      for (auto& [node, device] : state.devices) {
        device->RetryPendingIn();
        waiting = waiting || device->HasPendingIn();
      }
    }
    if (waiting) {
      return G_SOURCE_CONTINUE;
    }
    if (state.retryTimer != nullptr) {
      g_source_unref(state.retryTimer);
      state.retryTimer = nullptr;
    }
    return G_SOURCE_REMOVE;
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    const std::shared_ptr<State>& reference = *static_cast<std::shared_ptr<State>*>(user);
    State& state = *reference;
    const std::lock_guard lock(state.mutex);
    if (state.workerContext == nullptr) {
      state.workerContext = g_main_context_ref_thread_default();
    }
    UsbfsDevice* device = state.DeviceAt(umockdev_ioctl_client_get_devnode(client));
    const IoctlResult result = device != nullptr ? device->Ioctl(client) : IoctlResult{-1, ENODEV};
    if (device != nullptr && device->HasPendingIn() && !state.closed) {
      state.ScheduleRetry(reference);
    }
    umockdev_ioctl_client_complete(client, result.value, result.error);
    return TRUE;
  }

  static void OnClientGone(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user) {
    State& state = **static_cast<std::shared_ptr<State>*>(user);
    const std::lock_guard lock(state.mutex);
    if (UsbfsDevice* device = state.DeviceAt(umockdev_ioctl_client_get_devnode(client))) {
      device->ForgetClient(client);
    }
  }

  static void ReleaseReference(gpointer user) { delete static_cast<std::shared_ptr<State>*>(user); }
  static void ReleaseReferenceClosure(gpointer user, GClosure*) { ReleaseReference(user); }
};

bool EmulatedUsbBus::IsPreloaded() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

bool EmulatedUsbBus::IsPreloadLoaded() {
  void* preload = dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
  if (preload == nullptr) {
    return false;
  }
  dlclose(preload);
  return true;
}

EmulatedUsbBus::EmulatedUsbBus() : state(std::make_shared<State>()) {
  if (!IsPreloaded()) {
    throw std::runtime_error(
        "the emulated USB bus needs the umockdev preload: run under umockdev-wrapper or with "
        "LD_PRELOAD=libumockdev-preload.so.0");
  }
  // The preload sleeps after every ioctl; with the default timer slack of 50 us that sleep
  // costs about 75 us, with 1 ns about 14.
  savedTimerSlack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  testbed = umockdev_testbed_new();  // a temporary folder, named in $UMOCKDEV_DIR
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  rootDir = root;
  g_free(root);
  folder = std::make_unique<TestbedFolder>(rootDir);
  handler = umockdev_ioctl_base_new();
  g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(State::OnIoctl),
                        new std::shared_ptr<State>(state), State::ReleaseReferenceClosure,
                        GConnectFlags(0));
  g_signal_connect_data(handler, "client-vanished", G_CALLBACK(State::OnClientGone),
                        new std::shared_ptr<State>(state), State::ReleaseReferenceClosure,
                        GConnectFlags(0));
}

EmulatedUsbBus::~EmulatedUsbBus() {
  {
    const std::lock_guard lock(state->mutex);
    state->closed = true;
    if (state->retryTimer != nullptr) {
      g_source_destroy(state->retryTimer);
      g_source_unref(state->retryTimer);
      state->retryTimer = nullptr;
    }
  }
  for (const Plugged& device : plugged) {
    umockdev_testbed_detach_ioctl(testbed, device.node.c_str(), nullptr);
  }
  g_object_unref(handler);
  // umockdev removes the folder by paths: first everything that is not root's goes safely.
  if (!folder->CloseAndClearOut()) {
    std::fprintf(stderr, "nevrik-usbbus: cannot remove everything another user left in %s\n",
                 rootDir.c_str());
  }
  g_object_unref(testbed);  // removes the folder
  {
    const std::lock_guard lock(state->mutex);
    if (state->workerContext != nullptr) {
      g_main_context_unref(state->workerContext);
      state->workerContext = nullptr;
    }
  }
  prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(savedTimerSlack), 0, 0, 0);
}

EmulatedUsbBus::DeviceId EmulatedUsbBus::Plug(std::shared_ptr<SimUsbFunction> function,
                                              const PlugOptions& options) {
  const auto taken = [this, &options](std::uint8_t port) {
    return std::any_of(plugged.begin(), plugged.end(), [&options, port](const Plugged& device) {
      return device.present && device.bus == options.bus && device.port == port;
    });
  };
  std::uint8_t port = options.port;
  if (port == 0) {
    for (port = 1; taken(port); ++port) {
    }
  } else if (taken(port)) {
    throw std::invalid_argument(Format("port %u of bus %u is taken", port, options.bus));
  }
  std::uint8_t& lastAddress = lastAddresses[options.bus];
  lastAddress = lastAddress < FirstDeviceAddress || lastAddress >= LastDeviceAddress
                    ? FirstDeviceAddress
                    : static_cast<std::uint8_t>(lastAddress + 1);
  const std::uint8_t address = lastAddress;

  const std::vector<std::uint8_t> deviceDescriptor = function->DeviceDescriptor();
  const std::vector<std::uint8_t> configuration = function->ConfigurationDescriptor();
  if (deviceDescriptor.size() < 18 || configuration.size() < 9) {
    throw std::invalid_argument("a USB function needs device and configuration descriptors");
  }
  const bool highSpeed = IsHighSpeed(configuration);

  // The node: a FIFO, so that its readiness can tell libusb when to reap (see UsbfsDevice).
  const std::string node = "/dev/bus/usb/" + Format("%03u/%03u", options.bus, address);
  const auto [folderPath, nodeName] = SplitNode(node);
  const UniqueFd nodeFolder = folder->Folder(folderPath, true);
  if (!nodeFolder) {
    throw std::runtime_error("cannot make the folder " + rootDir + "/" + folderPath);
  }
  unlinkat(nodeFolder.Get(), nodeName.c_str(), 0);
  UniqueFd fifo;
  if (mkfifoat(nodeFolder.Get(), nodeName.c_str(), 0600) == 0) {
    fifo.Reset(
        openat(nodeFolder.Get(), nodeName.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!fifo || fchmod(fifo.Get(), options.nodeMode) != 0) {
    throw std::runtime_error("cannot make the device node " + rootDir + node);
  }
  auto device = std::make_unique<UsbfsDevice>(
      function, address, highSpeed ? UsbSpeedHigh : UsbSpeedFull, fifo.Release());
  device->TraceIoctls(tracing);
  for (const auto& [interface, driver] : options.kernelDrivers) {
    device->BindKernelDriver(interface, driver);
  }
  {
    const std::lock_guard lock(state->mutex);
    if (state->devices.contains(node)) {  // an address used again after the bus wrapped round
      umockdev_testbed_detach_ioctl(testbed, node.c_str(), nullptr);
    }
    state->devices[node] = std::move(device);
  }
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &error)) {
    Fail("cannot serve " + node, error);
  }

  // The sysfs entry libusb reads through libudev: its properties, its attributes (ending in a
  // newline like the kernel's) and the descriptors of the device and its configuration. Added
  // this way, umockdev announces the device only once everything is in place.
  const std::string name = Format("%u-%u", options.bus, port);
  std::vector<std::uint8_t> descriptors = deviceDescriptor;
  descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
  const unsigned vendorId = deviceDescriptor[8] | deviceDescriptor[9] << 8;
  const unsigned productId = deviceDescriptor[10] | deviceDescriptor[11] << 8;
  const unsigned minor = (options.bus - 1u) * 128u + address - 1u;
  const std::string record =
      "P: /devices/" + name + "\n" + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n" +
      "E: DEVNAME=" + node + "\n" + "E: BUSNUM=" + Format("%03u", options.bus) + "\n" +
      "E: DEVNUM=" + Format("%03u", address) + "\n" + "E: MAJOR=" + std::to_string(UsbMajor) +
      "\nE: MINOR=" + std::to_string(minor) + "\n" +
      "E: PRODUCT=" + Format("%x/%x/100", vendorId, productId) + "\n" +
      "A: busnum=" + std::to_string(options.bus) + "\\n\n" +
      "A: devnum=" + std::to_string(address) + "\\n\n" +
      "A: speed=" + std::to_string(highSpeed ? HighSpeed : FullSpeed) + "\\n\n" +
      "A: bConfigurationValue=" + std::to_string(configuration[5]) + "\\n\n" +
      "A: idVendor=" + Format("%04x", vendorId) + "\\n\n" +
      "A: idProduct=" + Format("%04x", productId) + "\\n\n" + "A: dev=" + std::to_string(UsbMajor) +
      ":" + std::to_string(minor) + "\\n\n" + "H: descriptors=" + Hex(descriptors) + "\n";
  if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
    Fail("cannot add " + name, error);
  }

  plugged.push_back(
      Plugged{node, "/sys/devices/" + name, options.bus, port, options.nodeMode, true});
  if (openToUser) {
    OpenDeviceToUser(plugged.back());
  }
  return static_cast<DeviceId>(plugged.size() - 1);
}

void EmulatedUsbBus::Unplug(DeviceId device) {
  Plugged& gone = plugged.at(device);
  if (!gone.present) {
    return;
  }
  gone.present = false;
  {
    const std::lock_guard lock(state->mutex);
    state->devices.at(gone.node)->Unplug();
  }
  umockdev_testbed_uevent(testbed, gone.sysfsPath.c_str(), "remove");
  // This removes the node too, and its folder once empty, by their paths: the folders on the way
  // are root's and closed to writing, so none can be swapped for a link.
  umockdev_testbed_remove_device(testbed, gone.sysfsPath.c_str());
  // The handler stays attached, so that handles still open get ENODEV; new opens find nothing.
  const auto [folderPath, nodeName] = SplitNode(gone.node);
  if (const UniqueFd nodeFolder = folder->Folder(folderPath, false)) {
    unlinkat(nodeFolder.Get(), nodeName.c_str(), 0);
  }
}

void EmulatedUsbBus::SetClaimedElsewhere(DeviceId device, std::uint8_t interface, bool claimed) {
  const std::lock_guard lock(state->mutex);
  state->devices.at(Find(device).node)->SetClaimedElsewhere(interface, claimed);
}

void EmulatedUsbBus::FailNextReap(DeviceId device, int error) {
  const std::lock_guard lock(state->mutex);
  state->devices.at(Find(device).node)->FailNextReap(error);
}

std::string EmulatedUsbBus::DriverOf(DeviceId device, std::uint8_t interface) const {
  const std::lock_guard lock(state->mutex);
  return state->devices.at(Find(device).node)->DriverOf(interface);
}

std::vector<UrbRecord> EmulatedUsbBus::SubmittedUrbs(DeviceId device) const {
  const std::lock_guard lock(state->mutex);
  return state->devices.at(Find(device).node)->SubmittedUrbs();
}

std::string EmulatedUsbBus::NodePath(DeviceId device) const {
  return Find(device).node;
}

void EmulatedUsbBus::TraceIoctls(bool trace) {
  tracing = trace;
  const std::lock_guard lock(state->mutex);
  for (auto& [node, device] : state->devices) {
    device->TraceIoctls(trace);
  }
}

// The user reaches the testbed through its group; the folders of the testbed stay root's, so that
// nothing root later removes or changes can be renamed or replaced. Nothing is open to others.
void EmulatedUsbBus::OpenToUser(const UserIds& user) {
  openToUser = user;
  if (!folder->OpenTo(user.gid)) {
    throw std::runtime_error("cannot open the testbed " + rootDir + " to the user");
  }
  for (const Plugged& device : plugged) {
    if (device.present) {
      OpenDeviceToUser(device);
    }
  }
}

// Clients reach the device's handler through a socket that umockdev makes for the node. The node's
// mode for other users becomes its group's; a failure leaves either closed.
void EmulatedUsbBus::OpenDeviceToUser(const Plugged& device) const {
  const auto [folderPath, nodeName] = SplitNode(device.node);
  if (const UniqueFd socketFolder = folder->Folder("ioctl/" + folderPath, false)) {
    TestbedFolder::SetGroupAndMode(socketFolder.Get(), nodeName, openToUser->gid, 0660);
  }
  if (const UniqueFd nodeFolder = folder->Folder(folderPath, false)) {
    const mode_t mode = (device.nodeMode & S_IRWXU) | (device.nodeMode & S_IRWXO) << 3;
    TestbedFolder::SetGroupAndMode(nodeFolder.Get(), nodeName, openToUser->gid, mode);
  }
}

const EmulatedUsbBus::Plugged& EmulatedUsbBus::Find(DeviceId device) const {
  return plugged.at(device);
}

int EmulatedUsbBus::RunCommand(const std::vector<std::string>& command,
                               const CommandOptions& options) const {
  return WaitForCommand(StartCommand(command, options));
}

pid_t EmulatedUsbBus::StartCommand(const std::vector<std::string>& command,
                                   const CommandOptions& options) const {
  if (command.empty()) {
    throw std::invalid_argument("no command to run");
  }
  // Everything the child needs is made before fork: after it, only system calls.
  std::vector<char*> arguments;
  for (const std::string& argument : command) {
    arguments.push_back(const_cast<char*>(argument.c_str()));
  }
  arguments.push_back(nullptr);
  const std::optional<std::string> program = FindProgram(command.front());

  // Another user may not be able to reach the program (a build tree under root's home): it is
  // opened here, and started from that descriptor when the child, now that user, cannot reach it
  // by its path. The program file itself must still be executable for the user.
  const int programFile = options.user && program ? open(program->c_str(), O_PATH | O_CLOEXEC) : -1;
  const pid_t child = fork();
  if (child < 0) {
    if (programFile >= 0) {
      close(programFile);
    }
    throw std::runtime_error("cannot start " + command.front());
  }
  if (child == 0) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    // A caller that writes to the command's input may ignore SIGPIPE; the command must not.
    signal(SIGPIPE, SIG_DFL);
    const char* name = command.front().c_str();
    if ((options.input >= 0 && dup2(options.input, STDIN_FILENO) < 0) ||
        (options.output >= 0 && dup2(options.output, STDOUT_FILENO) < 0) ||
        (options.errors >= 0 && dup2(options.errors, STDERR_FILENO) < 0)) {
      FailToStart(name, "dup2");
    }
    if (!program) {
      WriteError({"nevrik-usbbus: ", name, ": command not found\n"});
      _exit(127);
    }
    if (options.user) {
      if (setgroups(0, nullptr) != 0) {
        FailToStart(name, "setgroups");
      }
      if (setgid(options.user->gid) != 0) {
        FailToStart(name, "setgid");
      }
      if (setuid(options.user->uid) != 0) {
        FailToStart(name, "setuid");
      }
    }
    execve(program->c_str(), arguments.data(), environ);
    // Started by its path where the user can reach it: the kernel cannot hand a program that
    // needs an interpreter (an arm64 program, run through qemu by binfmt_misc) the path of a
    // descriptor closed on exec.
    if (programFile >= 0 && (errno == EACCES || errno == ENOENT)) {
      fexecve(programFile, arguments.data(), environ);
      // A script: its interpreter is given it as /dev/fd/N, which must stay open through exec.
      if (errno == ENOENT && fcntl(programFile, F_SETFD, 0) == 0) {
        fexecve(programFile, arguments.data(), environ);
      }
      FailToStart(name, "fexecve");
    }
    FailToStart(name, "execve");
  }
  if (programFile >= 0) {
    close(programFile);
  }
  return child;
}

int EmulatedUsbBus::WaitForCommand(pid_t command) {
  int status = 0;
  while (waitpid(command, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<UserIds> LookUpUser(const std::string& name) {
  const passwd* user = getpwnam(name.c_str());
  if (user == nullptr) {
    return std::nullopt;
  }
  return UserIds{user->pw_uid, user->pw_gid};
}

UserIds UnprivilegedUser() {
  const std::optional<UserIds> nobody = LookUpUser("nobody");
  if (!nobody) {
    throw std::runtime_error("no user nobody");
  }
  return *nobody;
}

}  // namespace nevrik::usbbus
