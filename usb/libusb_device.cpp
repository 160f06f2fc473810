#include "usb/libusb_device.h"

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "usb/endpoint_halt.h"
#include "usb/libusb_device_path.h"
#include "usb/libusb_support.h"
#include "usb/transfer_timeouts.h"

namespace nevrik {

namespace {

constexpr std::uint8_t RecipientMask = 0x1F;
constexpr std::uint8_t RecipientInterface = 0x01;

UsbOpenResult OpenResultOf(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
      return UsbOpenResult::PathNotFound;
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:
      return UsbOpenResult::AccessDenied;
    default:
      return UsbOpenResult::OpenFailed;
  }
}

}  // namespace

LibUsbDevice::LibUsbDevice(LibUsbContext context) : context(std::move(context)) {
  ResetPipeTimeouts();
}

LibUsbDevice::~LibUsbDevice() {
  Close();
}

void LibUsbDevice::Close() {
  // No transfer is in flight: every one has ended before its call returned.
  for (LibUsbBulkTransfer& transfer : pipeTransfers) {
    transfer.Release();
  }
  if (handle != nullptr) {
    libusb_release_interface(handle, interfaceNumber);
    if (kernelDriverDetached) {
      libusb_attach_kernel_driver(handle, interfaceNumber);
    }
    libusb_close(handle);
    handle = nullptr;
  }
  kernelDriverDetached = false;
  pipes.Clear();
  ResetPipeTimeouts();
}

unsigned LibUsbDevice::GetOutPipeCount() const {
  return static_cast<unsigned>(pipes.outPipes.size());
}

unsigned LibUsbDevice::GetInPipeCount() const {
  return static_cast<unsigned>(pipes.inPipes.size());
}

std::uint8_t LibUsbDevice::GetOutPipeId(unsigned outIndex) const {
  return pipes.outPipes.at(outIndex).pipeId;
}

std::uint8_t LibUsbDevice::GetInPipeId(unsigned inIndex) const {
  return pipes.inPipes.at(inIndex).pipeId;
}

bool LibUsbDevice::EnableShortPacketTerminate(std::uint8_t pipeId) {
  return pipes.EnableShortPacketTerminate(pipeId);
}

bool LibUsbDevice::SetPipeTimeout(std::uint8_t pipeId, std::uint32_t milliseconds) {
  if (handle == nullptr || (pipeId != 0 && !pipes.Contains(pipeId))) {
    return false;
  }
  pipeTimeouts[TimeoutSlot(pipeId)] = milliseconds;
  return true;
}

bool LibUsbDevice::ControlTransfer(std::uint8_t requestType, std::uint8_t request,
                                   std::uint16_t value, std::uint16_t index, std::uint16_t length,
                                   std::uint8_t* data) {
  if (handle == nullptr || (data == nullptr && length != 0)) {
    return false;
  }
  // WinUSB puts the number of the interface it holds into the low byte of wIndex of every
  // request addressed to an interface. libusb sends wIndex as given, so do the same here: the
  // device then sees the setup packet Windows would send.
  if ((requestType & RecipientMask) == RecipientInterface) {
    index = static_cast<std::uint16_t>((index & 0xFF00) | interfaceNumber);
  }
  return libusb_control_transfer(handle, requestType, request, value, index, data, length,
                                 pipeTimeouts[TimeoutSlot(0)]) >= 0;
}

bool LibUsbDevice::Write(unsigned outIndex, const std::uint8_t* data, std::uint32_t length) {
  if (outIndex >= pipes.outPipes.size() || (data == nullptr && length != 0)) {
    return false;
  }
  const OutPipe& pipe = pipes.outPipes[outIndex];
  std::uint32_t transferred = 0;
  // libusb takes a writable buffer for both directions; an OUT transfer only reads it.
  if (!BulkTransfer(pipe.pipeId, const_cast<std::uint8_t*>(data), length, transferred) ||
      transferred != length) {
    return false;
  }
  // A transfer that fills its last packet does not end on the wire until a short packet comes;
  // with short-packet termination a zero-length packet follows it, as WinUSB sends one.
  // LIBUSB_TRANSFER_ADD_ZERO_PACKET would do the same inside one transfer, but not every libusb
  // backend offers it.
  if (pipe.shortPacketTerminate && length != 0 && length % pipe.maxPacketSize == 0) {
    return BulkTransfer(pipe.pipeId, nullptr, 0, transferred);
  }
  return true;
}

bool LibUsbDevice::Read(unsigned inIndex, std::uint8_t* data, std::uint32_t length,
                        std::uint32_t* transferred) {
  if (inIndex >= pipes.inPipes.size()) {
    return false;
  }
  return pipes.inPipes[inIndex].Read(*this, data, length, transferred);
}

bool LibUsbDevice::IsPipeHalted(std::uint8_t pipeId) {
  return QueryEndpointHalt(*this, pipeId);
}

bool LibUsbDevice::AbortPipe(std::uint8_t pipeId) {
  // Every transfer here is synchronous and has ended before this runs, so no transfer is pending
  // to be cancelled and libusb holds no data for the pipe; what is left to drop is the packet
  // staged on the host.
  return pipes.DropStaged(pipeId);
}

bool LibUsbDevice::ResetPipe(std::uint8_t pipeId) {
  // CLEAR_FEATURE(ENDPOINT_HALT) to the device and the host's data toggle back to DATA0.
  return handle != nullptr && libusb_clear_halt(handle, pipeId) == LIBUSB_SUCCESS;
}

bool LibUsbDevice::Open(const std::wstring& devicePath, bool shortPacketTerminate) {
  return OpenWithResult(devicePath, shortPacketTerminate) == UsbOpenResult::Opened;
}

UsbOpenResult LibUsbDevice::OpenWithResult(const std::wstring& devicePath,
                                           bool shortPacketTerminate) {
  Close();
  const std::optional<LibUsbDeviceLocation> location = ParseDevicePath(devicePath);
  if (!location) {
    return UsbOpenResult::PathNotFound;
  }
  if (!context) {
    return UsbOpenResult::OpenFailed;
  }
  const LibUsbDeviceList list(context.get());
  if (!list.Listed()) {
    return UsbOpenResult::OpenFailed;
  }
  libusb_device* device = nullptr;
  for (libusb_device* listed : list.Devices()) {
    if (IsAtLocation(listed, *location)) {
      device = listed;
      break;
    }
  }
  if (device == nullptr) {
    return UsbOpenResult::PathNotFound;
  }

  const LibUsbConfiguration configuration = ActiveConfiguration(device);
  const libusb_interface_descriptor* setting =
      configuration ? DefaultSetting(*configuration, location->interfaceNumber) : nullptr;
  if (setting == nullptr) {
    return UsbOpenResult::OpenFailed;
  }

  libusb_device_handle* opened = nullptr;
  const int openError = libusb_open(device, &opened);
  if (openError != LIBUSB_SUCCESS) {
    return OpenResultOf(openError);
  }
  const UsbOpenResult claimed = Claim(opened, location->interfaceNumber);
  if (claimed != UsbOpenResult::Opened) {
    libusb_close(opened);
    return claimed;
  }
  handle = opened;
  interfaceNumber = location->interfaceNumber;

  // An interface with alternate settings may have been left in another one by an earlier
  // holder; the pipes are those of setting 0. A lone setting needs no request.
  if (AlternateSettingCount(*configuration, interfaceNumber) > 1) {
    const int selectError = libusb_set_interface_alt_setting(handle, interfaceNumber, 0);
    if (selectError != LIBUSB_SUCCESS) {
      Close();
      return OpenResultOf(selectError) == UsbOpenResult::PathNotFound ? UsbOpenResult::PathNotFound
                                                                      : UsbOpenResult::OpenFailed;
    }
  }
  DiscoverPipes(*setting, shortPacketTerminate);
  if (!AllocateTransfers()) {
    Close();
    return UsbOpenResult::OpenFailed;
  }
  return UsbOpenResult::Opened;
}

UsbOpenResult LibUsbDevice::Claim(libusb_device_handle* opened, std::uint8_t interface) {
  // Reports 0 for an interface that another program holds through usbfs: that one is not
  // taken away, and claiming it below fails as busy.
  bool detached = false;
  if (libusb_kernel_driver_active(opened, interface) == 1) {
    const int detachError = libusb_detach_kernel_driver(opened, interface);
    if (detachError != LIBUSB_SUCCESS && detachError != LIBUSB_ERROR_NOT_FOUND) {
      return OpenResultOf(detachError);
    }
    detached = detachError == LIBUSB_SUCCESS;
  }
  const int claimError = libusb_claim_interface(opened, interface);
  if (claimError != LIBUSB_SUCCESS) {
    if (detached) {
      libusb_attach_kernel_driver(opened, interface);
    }
    return OpenResultOf(claimError);
  }
  kernelDriverDetached = detached;
  return UsbOpenResult::Opened;
}

void LibUsbDevice::DiscoverPipes(const libusb_interface_descriptor& setting,
                                 bool shortPacketTerminate) {
  for (int i = 0; i < setting.bNumEndpoints; ++i) {
    const libusb_endpoint_descriptor& endpoint = setting.endpoint[i];
    const auto maxPacketSize =
        static_cast<std::uint16_t>(endpoint.wMaxPacketSize & MaxPacketSizeMask);
    if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK ||
        maxPacketSize == 0) {
      continue;
    }
    if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
      pipes.inPipes.emplace_back(endpoint.bEndpointAddress, shortPacketTerminate, maxPacketSize);
    } else {
      pipes.outPipes.push_back(
          OutPipe{endpoint.bEndpointAddress, maxPacketSize, shortPacketTerminate});
    }
  }
}

bool LibUsbDevice::AllocateTransfers() {
  for (const OutPipe& pipe : pipes.outPipes) {
    if (!pipeTransfers[TimeoutSlot(pipe.pipeId)].Allocate()) {
      return false;
    }
  }
  for (const InPipe& pipe : pipes.inPipes) {
    if (!pipeTransfers[TimeoutSlot(pipe.pipeId)].Allocate()) {
      return false;
    }
  }
  return true;
}

bool LibUsbDevice::ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
                           std::uint32_t& received) {
  return BulkTransfer(pipeId, data, length, received);
}

bool LibUsbDevice::BulkTransfer(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
                                std::uint32_t& transferred) {
  LibUsbBulkTransfer& transfer = pipeTransfers[TimeoutSlot(pipeId)];
  if (handle == nullptr || !transfer.Allocated() || length > static_cast<std::uint32_t>(INT_MAX)) {
    return false;
  }
  int moved = 0;
  const int error = transfer.Run(context.get(), handle, pipeId, data, static_cast<int>(length),
                                 moved, pipeTimeouts[TimeoutSlot(pipeId)]);
  transferred = static_cast<std::uint32_t>(moved);
  return error == LIBUSB_SUCCESS;
}

// Slots 0-15 are the OUT endpoints and the default control pipe, 16-31 the IN endpoints.
void LibUsbDevice::ResetPipeTimeouts() {
  pipeTimeouts.fill(BulkOutTransferTimeout);
  std::fill(pipeTimeouts.begin() + TimeoutSlot(0x80), pipeTimeouts.end(), BulkInTransferTimeout);
  pipeTimeouts[TimeoutSlot(0)] = ControlTransferTimeout;
}

std::size_t LibUsbDevice::TimeoutSlot(std::uint8_t pipeId) {
  return static_cast<std::size_t>((pipeId & 0x0F) | (pipeId & 0x80) >> 3);
}

}  // namespace nevrik
