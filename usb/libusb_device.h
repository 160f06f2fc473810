#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "usb/bulk_pipes.h"
#include "usb/kv_usb_device.h"
#include "usb/libusb_bulk_transfer.h"
#include "usb/libusb_support.h"
#include "usb/usb_open_result.h"

namespace nevrik {

// KvUsbDevice over libusb-1.0, for every platform but Windows. It gives the layers above the
// results the WinUSB backend gives on the same device: the same pipes, the same setup packets on
// the wire, short-packet termination, and the same time-out on each pipe (usb/transfer_timeouts.h)
// unless SetPipeTimeout changes it. All transfers are synchronous. Each bulk pipe has one libusb
// transfer, allocated when the device opens and reused by every bulk transfer on it.
//
// Opening claims the one interface that the device path names. A kernel driver bound to that
// interface is detached for as long as the device holds it and attached again on Close.
class LibUsbDevice final : public KvUsbDevice, private RawBulkReader {
 public:
  // The device keeps the session alive for as long as it exists.
  explicit LibUsbDevice(LibUsbContext context);
  ~LibUsbDevice() override;
  LibUsbDevice(const LibUsbDevice&) = delete;
  LibUsbDevice& operator=(const LibUsbDevice&) = delete;

  void Close() override;
  bool IsOpen() const override { return handle != nullptr; }
  unsigned GetOutPipeCount() const override;
  unsigned GetInPipeCount() const override;
  std::uint8_t GetOutPipeId(unsigned outIndex) const override;
  std::uint8_t GetInPipeId(unsigned inIndex) const override;
  bool EnableShortPacketTerminate(std::uint8_t pipeId) override;
  bool SetPipeTimeout(std::uint8_t pipeId, std::uint32_t milliseconds) override;
  bool ControlTransfer(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                       std::uint16_t index, std::uint16_t length, std::uint8_t* data) override;
  bool Write(unsigned outIndex, const std::uint8_t* data, std::uint32_t length) override;
  bool Read(unsigned inIndex, std::uint8_t* data, std::uint32_t length,
            std::uint32_t* transferred) override;
  bool IsPipeHalted(std::uint8_t pipeId) override;
  bool AbortPipe(std::uint8_t pipeId) override;
  bool ResetPipe(std::uint8_t pipeId) override;

  // True exactly when OpenWithResult gives Opened.
  bool Open(const std::wstring& devicePath, bool shortPacketTerminate);

  // Opens the interface a path from LibUsbEnumerator names and discovers the bulk pipes of its
  // alternate setting 0 in descriptor order; a pipe with a maximum packet size of 0 is skipped.
  // A device that is gone (unplugged, or another one now on its port) gives PathNotFound; no
  // permission, or an interface that another program or driver holds, AccessDenied; anything
  // else OpenFailed. An open device is closed first; a failed open leaves it closed.
  UsbOpenResult OpenWithResult(const std::wstring& devicePath, bool shortPacketTerminate);

 private:
  bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override;
  UsbOpenResult Claim(libusb_device_handle* opened, std::uint8_t interface);
  void DiscoverPipes(const libusb_interface_descriptor& setting, bool shortPacketTerminate);
  bool AllocateTransfers();
  bool BulkTransfer(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred);
  void ResetPipeTimeouts();
  static std::size_t TimeoutSlot(std::uint8_t pipeId);

  LibUsbContext context;
  BulkPipes pipes;
  libusb_device_handle* handle = nullptr;
  std::uint8_t interfaceNumber = 0;
  bool kernelDriverDetached = false;
  // Per pipe id, endpoint number and direction; the default control pipe is pipe id 0.
  std::array<std::uint32_t, 32> pipeTimeouts{};
  // The transfer of each bulk pipe, in the same slots as the time-outs.
  std::array<LibUsbBulkTransfer, 32> pipeTransfers;
};

}  // namespace nevrik
