#pragma once

#include <windows.h>
#include <winusb.h>

#include <cstdint>
#include <string>
#include <vector>

#include "usb/in_pipe.h"
#include "usb/kv_usb_device.h"
#include "usb/usb_key_listing.h"
#include "usb/usb_open_result.h"

namespace nevrik {

// KvUsbDevice over WinUSB: one device path opened with CreateFileW, its WinUSB interface, and
// the bulk pipes of alternate setting 0.
//
// The path is opened with FILE_FLAG_OVERLAPPED, as WinUSB requires, yet every transfer here is
// issued with a null OVERLAPPED pointer. WinUSB then performs the call synchronously on the
// overlapped handle: it waits for completion itself and reports the byte count in its
// LengthTransferred argument, so no event, OVERLAPPED record or GetOverlappedResult is needed.
// A call blocks until it completes or the pipe's time-out expires; opening gives every pipe the
// time-out of its kind from usb/transfer_timeouts.h.
class WinUsbDevice : public KvUsbDevice, private RawBulkReader {
 public:
  WinUsbDevice() = default;
  WinUsbDevice(const WinUsbDevice&) = delete;
  WinUsbDevice& operator=(const WinUsbDevice&) = delete;
  ~WinUsbDevice() override;

  void Close() override;
  bool IsOpen() const override;

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
  virtual bool Open(const std::wstring& devicePath, bool shortPacketTerminate);

  // Closes the device, opens devicePath and discovers the bulk pipes of alternate setting 0.
  // shortPacketTerminate is the initial setting of every pipe (see EnableShortPacketTerminate).
  // Every failure leaves the device closed with no pipes.
  virtual UsbOpenResult OpenWithResult(const std::wstring& devicePath, bool shortPacketTerminate);

  // What the open device reported of alternate setting 0: its interface number and bulk
  // endpoints (also one with a maximum packet size of 0), in the platform's order.
  std::uint8_t InterfaceNumber() const { return interfaceNumber; }
  const std::vector<UsbEndpoint>& BulkEndpoints() const { return bulkEndpoints; }

 private:
  bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override;
  bool SetShortPacketTerminatePolicy(std::uint8_t pipeId);

  std::vector<InPipe> inPipes;
  std::vector<std::uint8_t> outPipeIds;
  std::vector<UsbEndpoint> bulkEndpoints;
  std::uint8_t interfaceNumber = 0;
  HANDLE fileHandle = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE winUsbHandle = nullptr;
};

}  // namespace nevrik
