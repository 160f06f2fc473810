#pragma once

#include <libusb.h>

#include <cstdint>
#include <memory>

namespace nevrik {

// One libusb transfer, allocated once and reused for every synchronous bulk transfer on a pipe.
// libusb_bulk_transfer allocates and frees a transfer on each call; this submits the same one
// again and handles libusb's events until it has completed, with the same results. (What libusb
// allocates inside a submission, such as the URB list of its Linux backend, is out of reach.)
class LibUsbBulkTransfer {
 public:
  // False when no transfer could be allocated.
  bool Allocate();
  void Release() { transfer.reset(); }
  bool Allocated() const { return transfer != nullptr; }

  // As libusb_bulk_transfer, on the allocated transfer: blocks until the transfer has ended and
  // gives 0 or the same error code (LIBUSB_ERROR_TIMEOUT, _PIPE for a stall, _OVERFLOW,
  // _NO_DEVICE, _IO, or the submission's own error), with the bytes moved in transferred. A
  // time-out of 0 waits without limit. The transfer is never left in flight: when handling
  // events fails, it is cancelled and its cancellation awaited.
  int Run(libusb_context* context, libusb_device_handle* handle, std::uint8_t endpoint,
          std::uint8_t* data, int length, int& transferred, unsigned int timeout);

 private:
  struct Free {
    void operator()(libusb_transfer* transfer) const { libusb_free_transfer(transfer); }
  };

  std::unique_ptr<libusb_transfer, Free> transfer;
};

}  // namespace nevrik
