#include "usb/libusb_bulk_transfer.h"

namespace nevrik {

namespace {

void LIBUSB_CALL MarkCompleted(libusb_transfer* transfer) {
  *static_cast<int*>(transfer->user_data) = 1;
}

// The error code libusb_bulk_transfer gives for a transfer that ended with this status.
int ResultOf(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return LIBUSB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
      return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW:
      return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return LIBUSB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_ERROR:
    case LIBUSB_TRANSFER_CANCELLED:
      return LIBUSB_ERROR_IO;
  }
  return LIBUSB_ERROR_OTHER;
}

}  // namespace

bool LibUsbBulkTransfer::Allocate() {
  transfer.reset(libusb_alloc_transfer(0));
  return transfer != nullptr;
}

int LibUsbBulkTransfer::Run(libusb_context* context, libusb_device_handle* handle,
                            std::uint8_t endpoint, std::uint8_t* data, int length, int& transferred,
                            unsigned int timeout) {
  int completed = 0;
  libusb_fill_bulk_transfer(transfer.get(), handle, endpoint, data, length, MarkCompleted,
                            &completed, timeout);
  const int submitError = libusb_submit_transfer(transfer.get());
  if (submitError != LIBUSB_SUCCESS) {
    transferred = 0;
    return submitError;
  }
  // libusb ends a transfer whose time-out expires by cancelling it; the callback runs in either
  // case, from inside the event handling.
  while (completed == 0) {
    const int eventError = libusb_handle_events_completed(context, &completed);
    if (eventError < 0 && eventError != LIBUSB_ERROR_INTERRUPTED) {
      libusb_cancel_transfer(transfer.get());
    }
  }
  transferred = transfer->actual_length;
  return ResultOf(transfer->status);
}

}  // namespace nevrik
