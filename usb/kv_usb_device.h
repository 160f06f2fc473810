#pragma once

#include <cstdint>

namespace nevrik {

// One opened USB device and its bulk pipes: the only way the layers above reach a device.
//
// Pipe ids are USB endpoint addresses (bit 7 set: IN, device to host). A pipe index counts the
// bulk pipes of one direction from 0 in the order of the interface's endpoint descriptors of
// alternate setting 0; the device protocol uses index 0 of each direction.
//
// Failure is reported as false; nothing here retries, logs or prints. The only exception raised
// is std::out_of_range from GetOutPipeId/GetInPipeId for an index at or beyond the count (and
// allocation failures). Implementations are used by one thread at a time.
//
// Implementations: WinUsbDevice (Windows), LibUsbDevice (elsewhere), SimUsbDevice (tests).
// The virtual functions are declared in the order the platform backends implement them.
class KvUsbDevice {
 public:
  // Closes the device if it is open.
  virtual ~KvUsbDevice() = default;

  // Releases the platform handles and forgets every pipe. Harmless on a closed device.
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  virtual unsigned GetOutPipeCount() const = 0;
  virtual unsigned GetInPipeCount() const = 0;
  // Throws std::out_of_range for an index at or beyond the count.
  virtual std::uint8_t GetOutPipeId(unsigned outIndex) const = 0;
  virtual std::uint8_t GetInPipeId(unsigned inIndex) const = 0;

  // OUT pipe: a write that fills its last packet is followed by a zero-length packet; the result
  // is whether the platform accepted that. IN pipe: reads consume the zero-length packet that
  // ends a transfer filling its last packet; always true. Any other id: false.
  virtual bool EnableShortPacketTerminate(std::uint8_t pipeId) = 0;

  // Transfer time-out of the pipe in milliseconds (pipe id 0: the default control pipe); 0 waits
  // without limit. An opened device starts every pipe with the time-out of its kind from
  // usb/transfer_timeouts.h, so that a device that stops answering fails the transfer instead of
  // blocking for ever.
  virtual bool SetPipeTimeout(std::uint8_t pipeId, std::uint32_t milliseconds) = 0;

  // One control transfer on the default pipe with the setup packet built from the arguments in
  // this order. The data stage's direction follows bit 7 of requestType; data may be null when
  // length is 0. The count actually transferred is not reported.
  virtual bool ControlTransfer(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                               std::uint16_t index, std::uint16_t length, std::uint8_t* data) = 0;

  // One bulk transfer of exactly length bytes on the OUT pipe at outIndex. True only when every
  // byte went out. Null data is allowed with length 0 (a zero-length transfer), refused otherwise.
  virtual bool Write(unsigned outIndex, const std::uint8_t* data, std::uint32_t length) = 0;

  // Reads up to length bytes from the IN pipe at inIndex into data and sets *transferred. Fewer
  // bytes than asked come back only when the device ended its transfer with a short packet. An
  // index at or beyond the count, null data, length 0 or null transferred give false at once.
  // After a false result *transferred is not meaningful and staged bytes may have been used.
  virtual bool Read(unsigned inIndex, std::uint8_t* data, std::uint32_t length,
                    std::uint32_t* transferred) = 0;

  // The endpoint's Halt feature by the standard GET_STATUS request; a failed request reads as
  // not halted.
  virtual bool IsPipeHalted(std::uint8_t pipeId) = 0;

  // Cancels the pipe's pending transfers and drops the bytes staged for it on the host.
  virtual bool AbortPipe(std::uint8_t pipeId) = 0;

  // Resets the pipe: clears the endpoint's halt and the host's data toggle.
  virtual bool ResetPipe(std::uint8_t pipeId) = 0;
};

}  // namespace nevrik
