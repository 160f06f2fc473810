// A hostile device behind a DeviceSession. The first input byte shapes the device:
//   bits 0-1 OUT pipe count, bits 2-3 IN pipe count, bit 4 the class request fails,
//   bit 5 the device ignores it (never halts), bit 6 halts survive a reset, bit 7 aborts and
//   resets fail.
// Then, in one stream, each operation byte is followed by the device's answers to that
// operation's reads. An operation byte's low 3 bits pick Synchronize, Query, GetStatus,
// EstablishSecureMessaging, a secure or plain Transact, TransactNoData or SendFinal; its upper 5
// bits a payload length (the last value is longer than a frame can carry) or a query selector.
// Every read takes one byte: 0 fails, 1 delivers all it asks for, n > 1 delivers at most n - 2
// bytes; the bytes delivered follow in the input. Writes always succeed.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/device_session.h"

namespace nevrik {
namespace {

using fuzz::Input;

class HostileDevice final : public KvUsbDevice {
 public:
  HostileDevice(std::uint8_t shape, Input& input) : shape(shape), input(input) {}

  void Close() override {}
  bool IsOpen() const override { return true; }
  unsigned GetOutPipeCount() const override { return shape & 3; }
  unsigned GetInPipeCount() const override { return shape >> 2 & 3; }
  std::uint8_t GetOutPipeId(unsigned index) const override {
    return PipeIdAt(index, GetOutPipeCount(), 0x01);
  }
  std::uint8_t GetInPipeId(unsigned index) const override {
    return PipeIdAt(index, GetInPipeCount(), 0x81);
  }
  bool EnableShortPacketTerminate(std::uint8_t pipeId) override { return Known(pipeId); }
  bool SetPipeTimeout(std::uint8_t pipeId, std::uint32_t) override { return Known(pipeId); }

  bool ControlTransfer(std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t, std::uint16_t,
                       std::uint8_t*) override {
    if ((shape & 0x20) == 0) {
      halted.fill(true);
    }
    return (shape & 0x10) == 0;
  }

  bool Write(unsigned index, const std::uint8_t* data, std::uint32_t length) override {
    if (index >= GetOutPipeCount()) {
      return false;
    }
    // Every request is one whole frame: magic, and a length field that matches what is sent.
    if (length < 8 || std::memcmp(data, "NVKW", 4) != 0 ||
        (data[6] | data[7] << 8) != static_cast<int>(length - 8)) {
      std::abort();
    }
    // AddressSanitizer checks that the frame's last byte lies inside the buffer.
    [[maybe_unused]] const volatile std::uint8_t lastByte = data[length - 1];
    return true;
  }

  bool Read(unsigned index, std::uint8_t* data, std::uint32_t length,
            std::uint32_t* transferred) override {
    if (index >= GetInPipeCount() || data == nullptr || length == 0 || transferred == nullptr ||
        input.Empty()) {
      return false;
    }
    const std::uint8_t answer = input.Byte();
    if (answer == 0) {
      return false;
    }
    const std::span<const std::uint8_t> bytes =
        input.Take(answer == 1 ? length : std::min<std::uint32_t>(length, answer - 2));
    std::copy(bytes.begin(), bytes.end(), data);
    *transferred = static_cast<std::uint32_t>(bytes.size());
    return true;
  }

  bool IsPipeHalted(std::uint8_t pipeId) override { return Known(pipeId) && halted[pipeId]; }
  bool AbortPipe(std::uint8_t pipeId) override { return Known(pipeId) && (shape & 0x80) == 0; }
  bool ResetPipe(std::uint8_t pipeId) override {
    if ((shape & 0x40) == 0 && Known(pipeId)) {
      halted[pipeId] = false;
    }
    return AbortPipe(pipeId);
  }

 private:
  static std::uint8_t PipeIdAt(unsigned index, unsigned count, std::uint8_t first) {
    if (index >= count) {
      throw std::out_of_range("pipe index");
    }
    return static_cast<std::uint8_t>(first + index);
  }
  bool Known(std::uint8_t pipeId) const {
    const unsigned index = (pipeId & 0x7F) - 1;
    return index < ((pipeId & 0x80) != 0 ? GetInPipeCount() : GetOutPipeCount());
  }

  std::uint8_t shape;
  Input& input;
  std::array<bool, 256> halted{};  // by pipe id
};

class OneDeviceEnumerator final : public KvUsbEnumerator {
 public:
  explicit OneDeviceEnumerator(std::unique_ptr<KvUsbDevice> device) : device(std::move(device)) {}
  bool Enumerate() override { return true; }
  bool IsEmpty() const override { return false; }
  unsigned GetCount() const override { return 1; }
  UsbKeyIdentity GetIdentity(unsigned index) const override {
    return index == 0 ? UsbKeyIdentity{L"fuzzed", TestKeyVendorId, TestKeyProductId, {}, ""}
                      : UsbKeyIdentity{};
  }
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& opened) override {
    opened = index == 0 ? std::move(device) : nullptr;
    return opened ? UsbOpenResult::Opened : UsbOpenResult::OpenFailed;
  }
  std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) override {
    std::unique_ptr<KvUsbDevice> opened;
    OpenDevice(index, opened);
    return opened;
  }

 private:
  std::unique_ptr<KvUsbDevice> device;
};

std::uint32_t PayloadLength(std::uint8_t n) {
  return n < 16 ? n * 17u : (n - 15) * 4369u;  // 0, 17, ... 255, 4369, ... 65535, 69904
}

void DriveSession(std::span<const std::uint8_t> bytes) {
  Input input(bytes);
  const std::uint8_t shape = input.Byte();
  OneDeviceEnumerator enumerator(std::make_unique<HostileDevice>(shape, input));
  fuzz::AdvancingTicks ticks;
  static fuzz::FixedKeySource keySource;
  const std::unique_ptr<DeviceSession> session =
      DeviceSession::Create(enumerator, ticks, keySource);
  if (!session) {
    std::abort();  // the one device is there and opens
  }

  std::vector<std::uint8_t> response;
  while (!input.Empty()) {  // every operation takes at least its own byte
    const std::uint8_t operation = input.Byte();
    const std::uint32_t length = PayloadLength(operation >> 3);
    std::uint32_t value = 0;
    DeviceStatus status;
    switch (operation & 7) {
      case 0:
        session->Synchronize();
        break;
      case 1:
        session->Query(operation >> 3, value);
        break;
      case 2:
        session->GetStatus(status);
        break;
      case 3:
        session->EstablishSecureMessaging();
        break;
      case 4:
      case 5:
        session->PreparePayload(length);
        session->Transact(CmdWrite, (operation & 7) == 4, length, response);
        break;
      case 6:
        session->PreparePayload(length);
        session->TransactNoData(CmdGetHash, (operation & 8) != 0, length);
        break;
      default:
        session->SendFinal();
        break;
    }
  }
}

}  // namespace
}  // namespace nevrik

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  nevrik::DriveSession(std::span(data, size));
  return 0;
}
