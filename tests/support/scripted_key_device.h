#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "usb/bulk_pipes.h"
#include "usb/kv_usb_device.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik::test {

// A key that answers every request at once and allocates nothing while it does, for measuring
// and counting the host's own work. One bulk OUT and one bulk IN pipe of the given packet size;
// reads go through the shared InPipe, as on the platform backends. It reads only the request
// header: the handshake is answered with a fixed, valid device key, CmdGetHash with the digest it
// was given (in clear), and every other request with success and no payload. Nothing is
// checked or deciphered, and nothing needs synchronising.
class ScriptedKeyDevice final : public KvUsbDevice, private RawBulkReader {
 public:
  static constexpr std::uint8_t OutPipeId = 0x01;
  static constexpr std::uint8_t InPipeId = 0x81;

  struct Counters {
    unsigned outTransfers = 0;  // zero-length packets that end a transfer included
    unsigned inTransfers = 0;   // raw bulk reads
  };

  ScriptedKeyDevice(std::uint16_t maxPacketSize, std::span<const std::uint8_t, 32> imageDigest);

  void Close() override;
  bool IsOpen() const override { return open; }
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

  // Called with every request frame as it arrives, before it is answered.
  std::function<void(std::span<const std::uint8_t> frame)> onRequest;

 private:
  static constexpr std::size_t AnswerLimit = 8 + 97;  // the handshake answer is the longest

  bool ReadRaw(std::uint8_t pipeId, std::uint8_t* data, std::uint32_t length,
               std::uint32_t& received) override;
  void Answer(std::uint8_t sequence, std::span<const std::uint8_t> payload);

  bool open = true;
  BulkPipes pipes;
  std::array<std::uint8_t, 32> digest;
  std::array<std::uint8_t, 97> handshakeAnswer{};
  std::array<std::uint8_t, AnswerLimit> answer{};
  std::uint32_t answerLength = 0;
  std::uint32_t answerSent = 0;
  bool answerPending = false;
  Counters counts;
};

// Hands out one ScriptedKeyDevice, once.
class ScriptedKeyEnumerator final : public KvUsbEnumerator {
 public:
  explicit ScriptedKeyEnumerator(std::unique_ptr<ScriptedKeyDevice> device)
      : device(std::move(device)) {}

  bool Enumerate() override { return device != nullptr; }
  bool IsEmpty() const override { return device == nullptr; }
  unsigned GetCount() const override { return device != nullptr ? 1 : 0; }
  // The simulated key's test identity.
  UsbKeyIdentity GetIdentity(unsigned index) const override {
    return index < GetCount() ? UsbKeyIdentity{L"scripted", TestKeyVendorId, TestKeyProductId,
                                               std::nullopt, ""}
                              : UsbKeyIdentity{};
  }
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& opened) override;
  std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) override;

 private:
  std::unique_ptr<ScriptedKeyDevice> device;
};

}  // namespace nevrik::test
