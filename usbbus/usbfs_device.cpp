#include "usbbus/usbfs_device.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace nevrik::usbbus {

namespace {

constexpr std::uint8_t TransferTypeBulk = 2;
constexpr std::uint8_t RequestTypeMask = 0x60;
constexpr std::uint8_t RequestTypeVendor = 0x40;
constexpr std::uint8_t RecipientMask = 0x1F;
constexpr std::uint8_t RecipientInterface = 0x01;
constexpr std::uint8_t RecipientEndpoint = 0x02;
constexpr std::size_t SetupSize = 8;
constexpr std::size_t FifoPage = 4096;

// The client memory that a pointer stored in data at offset points to, length bytes, copied
// here; umockdev writes it back when the ioctl completes. Null when it cannot be read.
IoctlData Resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* resolved =
      umockdev_ioctl_data_resolve(data, static_cast<gsize>(offset), length, &error);
  if (error != nullptr) {
    g_error_free(error);
    return nullptr;
  }
  return IoctlData(resolved);
}

template <typename Value>
Value* ArgumentAs(const IoctlData& data) {
  return reinterpret_cast<Value*>(data->data);
}

usbdevfs_urb& FieldsOf(const IoctlData& data) {
  return *ArgumentAs<usbdevfs_urb>(data);
}

const char* IoctlName(unsigned long request) {
  switch (request) {
    case USBDEVFS_SUBMITURB:
      return "SUBMITURB";
    case USBDEVFS_DISCARDURB:
      return "DISCARDURB";
    case USBDEVFS_REAPURBNDELAY:
      return "REAPURBNDELAY";
    case USBDEVFS_CLAIMINTERFACE:
      return "CLAIMINTERFACE";
    case USBDEVFS_RELEASEINTERFACE:
      return "RELEASEINTERFACE";
    case USBDEVFS_GETDRIVER:
      return "GETDRIVER";
    case USBDEVFS_IOCTL:
      return "IOCTL";
    case USBDEVFS_CLEAR_HALT:
      return "CLEAR_HALT";
    case USBDEVFS_SETINTERFACE:
      return "SETINTERFACE";
    case USBDEVFS_GET_CAPABILITIES:
      return "GET_CAPABILITIES";
    default:
      return "other";
  }
}

}  // namespace

UsbfsDevice::UsbfsDevice(std::shared_ptr<SimUsbFunction> function, std::uint8_t address, int speed,
                         int readinessFifo)
    : function(std::move(function)), address(address), speed(speed), readinessFifo(readinessFifo) {
  const std::vector<std::uint8_t> configuration = this->function->ConfigurationDescriptor();
  std::uint8_t interface = 0;
  std::uint8_t alternateSetting = 0;
  for (std::size_t offset = 0; offset + 2 <= configuration.size();) {
    const std::size_t length = configuration[offset];
    if (length < 2 || offset + length > configuration.size()) {
      break;
    }
    const std::uint8_t* descriptor = configuration.data() + offset;
    if (descriptor[1] == 0x04 && length >= 9) {
      interface = descriptor[2];
      alternateSetting = descriptor[3];
      currentSettings.emplace(interface, 0);
      alternateSettings[interface].insert(alternateSetting);
    } else if (descriptor[1] == 0x05 && length >= 7) {
      endpoints.push_back(
          Endpoint{interface, alternateSetting, descriptor[2],
                   static_cast<std::uint8_t>(descriptor[3] & 0x03),
                   static_cast<std::uint16_t>((descriptor[4] | descriptor[5] << 8) & 0x07FF)});
    }
    offset += length;
  }
  UpdateReadiness();
}

UsbfsDevice::~UsbfsDevice() {
  close(readinessFifo);
}

IoctlResult UsbfsDevice::Ioctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
  IoctlResult result;
  if (unplugged && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
      request != USBDEVFS_DISCARDURB) {
    result = {-1, ENODEV};
  } else {
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES:
        if (const IoctlData capabilities = Resolve(argument, 0, sizeof(std::uint32_t))) {
          // One URB per transfer of any length, zero-length packets on request, and completed
          // URBs reapable after a disconnect.
          *ArgumentAs<std::uint32_t>(capabilities) =
              USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        } else {
          result = {-1, EFAULT};
        }
        break;
      case USBDEVFS_SUBMITURB:
        result = Submit(client, argument);
        break;
      case USBDEVFS_DISCARDURB:
        result = Discard(client, argument);
        break;
      case USBDEVFS_REAPURB:
      case USBDEVFS_REAPURBNDELAY:
        result = Reap(client, argument);
        break;
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE:
        if (const IoctlData interface = Resolve(argument, 0, sizeof(std::uint32_t))) {
          const std::uint32_t number = *ArgumentAs<std::uint32_t>(interface);
          result =
              request == USBDEVFS_CLAIMINTERFACE ? Claim(client, number) : Release(client, number);
        } else {
          result = {-1, EFAULT};
        }
        break;
      case USBDEVFS_DISCONNECT_CLAIM:
        result = DisconnectClaim(client, argument);
        break;
      case USBDEVFS_GETDRIVER:
        result = GetDriver(argument);
        break;
      case USBDEVFS_IOCTL:
        result = DriverIoctl(argument);
        break;
      case USBDEVFS_SETINTERFACE:
        result = SetInterface(client, argument);
        break;
      case USBDEVFS_SETCONFIGURATION:
        if (const IoctlData value = Resolve(argument, 0, sizeof(std::uint32_t))) {
          result = StandardRequest(
              0x00, 0x09, static_cast<std::uint16_t>(*ArgumentAs<std::uint32_t>(value)), 0);
        } else {
          result = {-1, EFAULT};
        }
        break;
      case USBDEVFS_CLEAR_HALT:
      case USBDEVFS_RESETEP:
        result = EndpointIoctl(client, argument, request == USBDEVFS_CLEAR_HALT);
        break;
      case USBDEVFS_RESET:
        break;
      case USBDEVFS_CONNECTINFO:
        if (const IoctlData info = Resolve(argument, 0, sizeof(usbdevfs_connectinfo))) {
          ArgumentAs<usbdevfs_connectinfo>(info)->devnum = address;
          ArgumentAs<usbdevfs_connectinfo>(info)->slow = 0;
        } else {
          result = {-1, EFAULT};
        }
        break;
      case USBDEVFS_GET_SPEED:
        result.value = speed;
        break;
      default:
        result = {-1, ENOTTY};
        break;
    }
  }
  if (tracing && request != USBDEVFS_REAPURBNDELAY) {
    std::fprintf(stderr, "[usbbus] address %u: %s (0x%lx) -> %ld, errno %d\n", address,
                 IoctlName(request), request, result.value, result.error);
  }
  UpdateReadiness();
  return result;
}

IoctlResult UsbfsDevice::Submit(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  IoctlData fields = Resolve(argument, 0, sizeof(usbdevfs_urb));
  if (!fields) {
    return {-1, EFAULT};
  }
  usbdevfs_urb& urb = FieldsOf(fields);
  if (urb.buffer_length < 0) {
    return {-1, EINVAL};
  }
  IoctlData buffer;
  // umockdev resolves nothing for a length of 0: a zero-length URB has no buffer.
  if (urb.buffer_length > 0) {
    buffer = Resolve(fields.get(), offsetof(usbdevfs_urb, buffer),
                     static_cast<std::size_t>(urb.buffer_length));
    if (!buffer) {
      return {-1, EFAULT};
    }
  }
  urb.status = 0;
  urb.actual_length = 0;
  submittedUrbs.push_back(UrbRecord{urb.type, urb.endpoint, urb.buffer_length, urb.flags});
  if (tracing) {
    std::fprintf(stderr, "[usbbus] address %u: URB type %u endpoint 0x%02x length %d flags 0x%x\n",
                 address, urb.type, urb.endpoint, urb.buffer_length, urb.flags);
  }
  switch (urb.type) {
    case USBDEVFS_URB_TYPE_CONTROL:
      return SubmitControl(Urb{client, std::move(fields), std::move(buffer)});
    case USBDEVFS_URB_TYPE_BULK:
      return SubmitBulk(Urb{client, std::move(fields), std::move(buffer)});
    default:
      return {-1, EINVAL};  // interrupt and isochronous transfers are not emulated
  }
}

IoctlResult UsbfsDevice::SubmitControl(Urb urb) {
  const usbdevfs_urb& fields = FieldsOf(urb.fields);
  if (static_cast<std::size_t>(fields.buffer_length) < SetupSize) {
    return {-1, EINVAL};
  }
  std::uint8_t* bytes = urb.buffer->data;
  const UsbSetupPacket setup{bytes[0], bytes[1],
                             static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8),
                             static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8),
                             static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8)};
  if (SetupSize + setup.length > static_cast<std::size_t>(fields.buffer_length)) {
    return {-1, EINVAL};
  }
  if (const IoctlResult check = CheckRecipient(urb.client, setup); check.value < 0) {
    return check;
  }
  const bool in = (setup.requestType & 0x80) != 0;
  const std::optional<std::vector<std::uint8_t>> answer =
      function->Control(setup, in ? std::span<const std::uint8_t>{}
                                  : std::span<const std::uint8_t>(bytes + SetupSize, setup.length));
  if (!answer) {
    Complete(std::move(urb), -EPIPE, 0);
  } else if (in) {
    const std::size_t length = std::min<std::size_t>(answer->size(), setup.length);
    std::copy_n(answer->begin(), length, bytes + SetupSize);
    Complete(std::move(urb), 0, static_cast<int>(length));
  } else {
    Complete(std::move(urb), 0, setup.length);
  }
  return {};
}

IoctlResult UsbfsDevice::SubmitBulk(Urb urb) {
  const std::uint8_t endpointAddress = FieldsOf(urb.fields).endpoint;
  const Endpoint* endpoint = FindEndpoint(endpointAddress);
  if (endpoint == nullptr || endpoint->transferType != TransferTypeBulk) {
    return {-1, ENOENT};
  }
  if (const IoctlResult check = CheckInterface(urb.client, endpoint->interface); check.value < 0) {
    return check;
  }
  if ((endpointAddress & 0x80) != 0) {
    pendingIn[endpointAddress].push_back(std::move(urb));
    PumpIn(endpointAddress);
    return {};
  }

  const usbdevfs_urb& fields = FieldsOf(urb.fields);
  const std::uint8_t* bytes = urb.buffer ? urb.buffer->data : nullptr;
  const auto length = static_cast<std::size_t>(fields.buffer_length);
  const std::size_t packetSize = endpoint->maxPacketSize;
  std::size_t sent = 0;
  do {
    const std::size_t size = std::min(packetSize, length - sent);
    if (!function->OutPacket(endpointAddress, std::span<const std::uint8_t>(bytes + sent, size))) {
      Complete(std::move(urb), -EPIPE, static_cast<int>(sent));
      return {};
    }
    sent += size;
  } while (sent < length);
  if ((fields.flags & USBDEVFS_URB_ZERO_PACKET) != 0 && length != 0 && length % packetSize == 0 &&
      !function->OutPacket(endpointAddress, {})) {
    Complete(std::move(urb), -EPIPE, static_cast<int>(sent));
    return {};
  }
  Complete(std::move(urb), 0, static_cast<int>(sent));
  return {};
}

void UsbfsDevice::PumpIn(std::uint8_t endpointAddress) {
  const Endpoint* endpoint = FindEndpoint(endpointAddress);
  std::deque<Urb>& queue = pendingIn[endpointAddress];
  while (!queue.empty()) {
    usbdevfs_urb& fields = FieldsOf(queue.front().fields);
    std::uint8_t* bytes = queue.front().buffer ? queue.front().buffer->data : nullptr;
    int status = 1;  // still pending
    while (status > 0) {
      const UsbInPacket packet = function->InPacket(endpointAddress);
      if (packet.kind == UsbInPacket::Kind::Nak) {
        return;
      }
      if (packet.kind == UsbInPacket::Kind::Stall) {
        status = -EPIPE;
        break;
      }
      const std::size_t room =
          static_cast<std::size_t>(fields.buffer_length - fields.actual_length);
      // More than a packet, or more than the URB can take, is babble.
      if (packet.bytes.size() > endpoint->maxPacketSize || packet.bytes.size() > room) {
        status = -EOVERFLOW;
        break;
      }
      std::copy(packet.bytes.begin(), packet.bytes.end(), bytes + fields.actual_length);
      fields.actual_length += static_cast<int>(packet.bytes.size());
      if (packet.bytes.size() < endpoint->maxPacketSize ||
          fields.actual_length == fields.buffer_length) {
        status = 0;
      }
    }
    const int received = fields.actual_length;
    Urb done = std::move(queue.front());
    queue.pop_front();
    Complete(std::move(done), status, received);
  }
}

void UsbfsDevice::Complete(Urb urb, int status, int actualLength) {
  FieldsOf(urb.fields).status = status;
  FieldsOf(urb.fields).actual_length = actualLength;
  completed.push_back(std::move(urb));
}

void UsbfsDevice::RetryPendingIn() {
  for (auto& [endpoint, queue] : pendingIn) {
    if (!queue.empty()) {
      PumpIn(endpoint);
    }
  }
  UpdateReadiness();
}

bool UsbfsDevice::HasPendingIn() const {
  return std::any_of(pendingIn.begin(), pendingIn.end(),
                     [](const auto& entry) { return !entry.second.empty(); });
}

IoctlResult UsbfsDevice::Discard(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  // The argument is the address of the URB in the client's memory.
  const gulong urbAddress = *reinterpret_cast<const gulong*>(argument->data);
  for (auto& [endpoint, queue] : pendingIn) {
    for (auto urb = queue.begin(); urb != queue.end(); ++urb) {
      if (urb->client == client && urb->fields->client_addr == urbAddress) {
        Urb discarded = std::move(*urb);
        queue.erase(urb);
        const int received = FieldsOf(discarded.fields).actual_length;
        Complete(std::move(discarded), -ENOENT, received);
        return {};
      }
    }
  }
  return {-1, EINVAL};  // already completed
}

void UsbfsDevice::FailNextReap(int error) {
  reapFailure = error;
  UpdateReadiness();
}

IoctlResult UsbfsDevice::Reap(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  if (const int error = reapFailure; error != 0) {
    reapFailure = 0;
    return {-1, error};
  }
  const auto found = std::find_if(completed.begin(), completed.end(),
                                  [client](const Urb& urb) { return urb.client == client; });
  if (found == completed.end()) {
    return {-1, unplugged ? ENODEV : EAGAIN};
  }
  // The argument points to the client's "struct usbdevfs_urb *": it is made to point to the
  // client's own URB, which umockdev then writes back with its status, length and IN data.
  const IoctlData pointer = Resolve(argument, 0, sizeof(void*));
  if (!pointer) {
    return {-1, EFAULT};
  }
  umockdev_ioctl_data_set_ptr(pointer.get(), 0, found->fields.get());
  if (tracing) {
    std::fprintf(stderr, "[usbbus] address %u: reaped endpoint 0x%02x status %d length %d\n",
                 address, FieldsOf(found->fields).endpoint, FieldsOf(found->fields).status,
                 FieldsOf(found->fields).actual_length);
  }
  completed.erase(found);  // the argument keeps its own references until the ioctl completes
  return {};
}

IoctlResult UsbfsDevice::Claim(UMockdevIoctlClient* client, std::uint32_t interface) {
  if (!HasInterface(interface)) {
    return {-1, ENOENT};
  }
  const auto number = static_cast<std::uint8_t>(interface);
  if (const auto claim = claims.find(number); claim != claims.end()) {
    return claim->second == client ? IoctlResult{} : IoctlResult{-1, EBUSY};
  }
  if (!boundDrivers[number].empty()) {
    return {-1, EBUSY};
  }
  claims[number] = client;
  return {};
}

IoctlResult UsbfsDevice::Release(UMockdevIoctlClient* client, std::uint32_t interface) {
  const auto claim = claims.find(static_cast<std::uint8_t>(interface));
  if (interface > 0xFF || claim == claims.end() || claim->second != client) {
    return {-1, EINVAL};
  }
  claims.erase(claim);
  return {};
}

// As the kernel does for an interface that a request or transfer uses: a claim of this client
// passes, one of anybody else is busy, and an unclaimed interface is claimed on the spot.
IoctlResult UsbfsDevice::CheckInterface(UMockdevIoctlClient* client, std::uint32_t interface) {
  return Claim(client, interface);
}

// The kernel's checks on the recipient of a control request that is not vendor-specific: the
// interface it names, or the interface of the endpoint it names, must be usable by this client.
IoctlResult UsbfsDevice::CheckRecipient(UMockdevIoctlClient* client, const UsbSetupPacket& setup) {
  if ((setup.requestType & RequestTypeMask) == RequestTypeVendor) {
    return {};
  }
  const auto index = static_cast<std::uint8_t>(setup.index);
  switch (setup.requestType & RecipientMask) {
    case RecipientInterface:
      return CheckInterface(client, index);
    case RecipientEndpoint: {
      if ((index & 0x7F) == 0) {
        return {};
      }
      const Endpoint* endpoint = FindEndpoint(index);
      if (endpoint == nullptr) {
        endpoint = FindEndpoint(index ^ 0x80);  // the kernel forgives a missing direction bit
      }
      return endpoint != nullptr ? CheckInterface(client, endpoint->interface)
                                 : IoctlResult{-1, ENOENT};
    }
    default:
      return {};
  }
}

IoctlResult UsbfsDevice::GetDriver(UMockdevIoctlData* argument) {
  const IoctlData data = Resolve(argument, 0, sizeof(usbdevfs_getdriver));
  if (!data) {
    return {-1, EFAULT};
  }
  usbdevfs_getdriver& request = *ArgumentAs<usbdevfs_getdriver>(data);
  const std::string driver =
      request.interface <= 0xFF ? DriverOf(static_cast<std::uint8_t>(request.interface)) : "";
  if (driver.empty()) {
    return {-1, ENODATA};
  }
  std::snprintf(request.driver, sizeof request.driver, "%s", driver.c_str());
  return {};
}

IoctlResult UsbfsDevice::DriverIoctl(UMockdevIoctlData* argument) {
  const IoctlData data = Resolve(argument, 0, sizeof(usbdevfs_ioctl));
  if (!data) {
    return {-1, EFAULT};
  }
  const usbdevfs_ioctl& request = *ArgumentAs<usbdevfs_ioctl>(data);
  if (request.ifno < 0 || !HasInterface(static_cast<std::uint32_t>(request.ifno))) {
    return {-1, EINVAL};
  }
  const auto interface = static_cast<std::uint8_t>(request.ifno);
  switch (static_cast<unsigned long>(request.ioctl_code)) {
    case USBDEVFS_DISCONNECT:
      // Unbinds whatever holds the interface, a program's claim included; libusb asks first.
      if (claims.erase(interface) == 0 && boundDrivers[interface].empty()) {
        return {-1, ENODATA};
      }
      boundDrivers[interface].clear();
      return {};
    case USBDEVFS_CONNECT:
      if (claims.contains(interface) || !boundDrivers[interface].empty()) {
        return {-1, EBUSY};
      }
      boundDrivers[interface] = matchingDrivers[interface];
      return {};
    default:
      return {-1, ENOTTY};
  }
}

IoctlResult UsbfsDevice::DisconnectClaim(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  const IoctlData data = Resolve(argument, 0, sizeof(usbdevfs_disconnect_claim));
  if (!data) {
    return {-1, EFAULT};
  }
  const usbdevfs_disconnect_claim& request = *ArgumentAs<usbdevfs_disconnect_claim>(data);
  if (!HasInterface(request.interface)) {
    return {-1, EINVAL};
  }
  const auto interface = static_cast<std::uint8_t>(request.interface);
  const std::string driver = DriverOf(interface);
  const std::string named(request.driver, strnlen(request.driver, sizeof request.driver));
  if (!driver.empty()) {
    if (((request.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0 && named != driver) ||
        ((request.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 && named == driver)) {
      return {-1, EBUSY};
    }
    claims.erase(interface);
    boundDrivers[interface].clear();
  }
  return Claim(client, interface);
}

IoctlResult UsbfsDevice::SetInterface(UMockdevIoctlClient* client, UMockdevIoctlData* argument) {
  const IoctlData data = Resolve(argument, 0, sizeof(usbdevfs_setinterface));
  if (!data) {
    return {-1, EFAULT};
  }
  const usbdevfs_setinterface& request = *ArgumentAs<usbdevfs_setinterface>(data);
  if (const IoctlResult check = CheckInterface(client, request.interface); check.value < 0) {
    return check;
  }
  const auto interface = static_cast<std::uint8_t>(request.interface);
  if (!alternateSettings[interface].contains(static_cast<std::uint8_t>(request.altsetting))) {
    return {-1, EINVAL};
  }
  IoctlResult result =
      StandardRequest(0x01, 0x0B, static_cast<std::uint16_t>(request.altsetting), interface);
  // USB 2.0 lets a device stall SET_INTERFACE for an interface with a single setting, and the
  // kernel takes that as success.
  if (result.value < 0 && AlternateSettingCount(interface) == 1) {
    result = {};
  }
  if (result.value == 0) {
    currentSettings[interface] = static_cast<std::uint8_t>(request.altsetting);
  }
  return result;
}

IoctlResult UsbfsDevice::EndpointIoctl(UMockdevIoctlClient* client, UMockdevIoctlData* argument,
                                       bool clearHalt) {
  const IoctlData data = Resolve(argument, 0, sizeof(std::uint32_t));
  if (!data) {
    return {-1, EFAULT};
  }
  const auto endpointAddress = static_cast<std::uint8_t>(*ArgumentAs<std::uint32_t>(data));
  const Endpoint* endpoint = FindEndpoint(endpointAddress);
  if (endpoint == nullptr) {
    return {-1, ENOENT};
  }
  if (const IoctlResult check = CheckInterface(client, endpoint->interface); check.value < 0) {
    return check;
  }
  // The kernel sends CLEAR_FEATURE(ENDPOINT_HALT) and resets its data toggle.
  return clearHalt ? StandardRequest(0x02, 0x01, 0, endpointAddress) : IoctlResult{};
}

IoctlResult UsbfsDevice::StandardRequest(std::uint8_t requestType, std::uint8_t request,
                                         std::uint16_t value, std::uint16_t index) {
  const UsbSetupPacket setup{requestType, request, value, index, 0};
  return function->Control(setup, {}) ? IoctlResult{} : IoctlResult{-1, EPIPE};
}

void UsbfsDevice::Unplug() {
  unplugged = true;
  for (auto& [endpoint, queue] : pendingIn) {
    while (!queue.empty()) {
      Urb urb = std::move(queue.front());
      queue.pop_front();
      const int received = FieldsOf(urb.fields).actual_length;
      Complete(std::move(urb), -ENODEV, received);
    }
  }
  UpdateReadiness();
}

void UsbfsDevice::ForgetClient(UMockdevIoctlClient* client) {
  for (auto& [endpoint, queue] : pendingIn) {
    std::erase_if(queue, [client](const Urb& urb) { return urb.client == client; });
  }
  std::erase_if(completed, [client](const Urb& urb) { return urb.client == client; });
  std::erase_if(claims, [client](const auto& claim) { return claim.second == client; });
  UpdateReadiness();
}

void UsbfsDevice::BindKernelDriver(std::uint8_t interface, std::string driver) {
  matchingDrivers[interface] = driver;
  boundDrivers[interface] = std::move(driver);
}

void UsbfsDevice::SetClaimedElsewhere(std::uint8_t interface, bool claimed) {
  if (claimed) {
    claims[interface] = nullptr;
  } else if (const auto claim = claims.find(interface);
             claim != claims.end() && claim->second == nullptr) {
    claims.erase(claim);
  }
}

std::string UsbfsDevice::DriverOf(std::uint8_t interface) const {
  if (claims.contains(interface)) {
    return "usbfs";
  }
  const auto bound = boundDrivers.find(interface);
  return bound != boundDrivers.end() ? bound->second : std::string();
}

const UsbfsDevice::Endpoint* UsbfsDevice::FindEndpoint(std::uint8_t endpointAddress) const {
  for (const Endpoint& endpoint : endpoints) {
    const auto setting = currentSettings.find(endpoint.interface);
    if (endpoint.address == endpointAddress && setting != currentSettings.end() &&
        setting->second == endpoint.alternateSetting) {
      return &endpoint;
    }
  }
  return nullptr;
}

bool UsbfsDevice::HasInterface(std::uint32_t interface) const {
  return interface <= 0xFF && currentSettings.contains(static_cast<std::uint8_t>(interface));
}

int UsbfsDevice::AlternateSettingCount(std::uint8_t interface) const {
  const auto settings = alternateSettings.find(interface);
  return settings != alternateSettings.end() ? static_cast<int>(settings->second.size()) : 0;
}

void UsbfsDevice::UpdateReadiness() {
  const bool reapable = !completed.empty() || reapFailure != 0;
  if (reapable == readyToReap) {
    return;
  }
  std::array<char, FifoPage> page{};
  if (reapable) {
    // One page of room makes the node writable: POLLOUT wakes the client to reap.
    if (read(readinessFifo, page.data(), page.size()) < 0) {
      std::perror("usbbus: draining the readiness FIFO");
    }
  } else {
    while (write(readinessFifo, page.data(), page.size()) > 0) {
    }
  }
  readyToReap = reapable;
}

}  // namespace nevrik::usbbus
