#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/usb_function.h"
#include "usb/bulk_pipes.h"
#include "usb/kv_usb_device.h"

namespace nevrik {

// A KvUsbDevice inside the test process, over a SimUsbFunction (normally a SimKey), behaving as
// the platform backends do:
// - pipes: the bulk endpoints of interface 0, alternate setting 0, in descriptor order, sorted
//   into IN and OUT; other endpoint types and a maximum packet size of 0 are skipped;
// - Write splits a transfer into packets and, when short-packet termination is on for that pipe,
//   follows one that fills its last packet with a zero-length packet; a zero-length transfer is
//   one empty packet;
// - Read goes through the shared InPipe; a raw read asks for packets until its length is reached
//   or a short packet ends the transfer. A NAK (the device has nothing to send) would block a
//   real read for ever: here the read fails and is counted as blocked;
// - a control request addressed to an interface carries the interface number (0) in the low
//   byte of wIndex, as WinUSB fills it in; IsPipeHalted is GET_STATUS, ResetPipe is
//   CLEAR_FEATURE(ENDPOINT_HALT), AbortPipe drops the bytes staged on the host.
// The device shares ownership of the function, so it outlives the enumerator that opened it.
class SimUsbDevice : public KvUsbDevice, private RawBulkReader {
 public:
  struct Counters {
    unsigned writes = 0;      // Write calls that reached the device
    unsigned outPackets = 0;  // zero-length packets included
    unsigned rawReads = 0;    // raw bulk reads made by InPipe
    unsigned inPackets = 0;
    unsigned blockedReads = 0;      // raw reads that met a NAK
    unsigned stalledTransfers = 0;  // bulk transfers that met a stall
    unsigned controlTransfers = 0;
  };

  // Opens the device: pipes are discovered, short-packet termination is off on every pipe.
  explicit SimUsbDevice(std::shared_ptr<SimUsbFunction> function);
  ~SimUsbDevice() override;

  void Close() override;
  bool IsOpen() const override { return function != nullptr; }
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

  const Counters& Counts() const { return counts; }
  // The time-out last set on the pipe (0: none); it only matters to real hardware.
  std::uint32_t PipeTimeout(std::uint8_t pipeId) const;
  // The InPipe behind an IN index, to look at its staging.
  const InPipe& InPipeAt(unsigned inIndex) const { return pipes.inPipes.at(inIndex); }

 private:
  struct PipeTimeoutSetting {
    std::uint8_t pipeId = 0;
    std::uint32_t milliseconds = 0;
  };

  bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override;
  void DiscoverPipes();
  std::uint16_t InPacketLimit(std::uint8_t pipeId) const;

  std::shared_ptr<SimUsbFunction> function;
  BulkPipes pipes;
  std::vector<PipeTimeoutSetting> timeouts;
  Counters counts;
};

}  // namespace nevrik
