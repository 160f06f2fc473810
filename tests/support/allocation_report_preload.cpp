// A library to preload into a program that drives a key through libusb. It counts the
// program's heap allocations and its submitted libusb transfers, and each time a request frame
// carrying CmdWrite is submitted on a bulk OUT pipe it appends one line to the file that
// NEVRIK_ALLOCATION_REPORT names, with the counts so far:
//   <allocations elsewhere> <allocations inside libusb_submit_transfer> <transfers submitted>
// libusb's Linux backend allocates its URB list inside every submission, which no caller can
// avoid; those are counted apart. Writing the line allocates nothing.
#include <dlfcn.h>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "protocol/frame.h"
#include "tests/support/allocation_count.h"

namespace {

using SubmitFunction = int (*)(libusb_transfer*);

std::uint64_t submitted = 0;
std::uint64_t allocatedInSubmit = 0;

bool IsWriteFrame(const libusb_transfer& transfer) {
  if (transfer.type != LIBUSB_TRANSFER_TYPE_BULK ||
      (transfer.endpoint & LIBUSB_ENDPOINT_DIR_MASK) != LIBUSB_ENDPOINT_OUT ||
      transfer.length < static_cast<int>(nevrik::FrameHeaderSize) || transfer.buffer == nullptr) {
    return false;
  }
  const std::uint8_t* frame = transfer.buffer;
  const std::uint32_t magic =
      frame[0] | frame[1] << 8 | frame[2] << 16 | static_cast<std::uint32_t>(frame[3]) << 24;
  return magic == nevrik::FrameMagic && (frame[5] & nevrik::CommandMask) == nevrik::CmdWrite;
}

// Decimal digits of value at the end of buffer; returns where they start.
char* FormatNumber(std::uint64_t value, char* end) {
  do {
    *--end = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}

void Report() {
  const char* path = std::getenv("NEVRIK_ALLOCATION_REPORT");
  if (path == nullptr) {
    return;
  }
  char line[72];
  char* end = line + sizeof line;
  *--end = '\n';
  char* start = FormatNumber(submitted, end);
  *--start = ' ';
  start = FormatNumber(allocatedInSubmit, start);
  *--start = ' ';
  start = FormatNumber(nevrik::test::AllocationCount() - allocatedInSubmit, start);
  const int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (file >= 0) {
    static_cast<void>(write(file, start, static_cast<std::size_t>(line + sizeof line - start)));
    close(file);
  }
}

}  // namespace

extern "C" int libusb_submit_transfer(libusb_transfer* transfer) {
  static const auto next = reinterpret_cast<SubmitFunction>(dlsym(RTLD_NEXT, __func__));
  if (next == nullptr) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
  if (transfer != nullptr && IsWriteFrame(*transfer)) {
    Report();
  }
  ++submitted;
  const std::uint64_t before = nevrik::test::AllocationCount();
  const int result = next(transfer);
  allocatedInSubmit += nevrik::test::AllocationCount() - before;
  return result;
}
