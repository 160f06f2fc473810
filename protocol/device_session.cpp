#include "protocol/device_session.h"

#include <algorithm>
#include <cstring>

#include "secure/handshake.h"

namespace nevrik {

namespace {

constexpr std::uint32_t SyncDeadlineMilliseconds = 3000;

// The class request that makes the device drop what it was doing and halt its bulk endpoints.
constexpr std::uint8_t SyncRequestType = 0x21;  // host to device, class, interface
constexpr std::uint8_t SyncRequest = 0xFF;

constexpr std::uint32_t SyncCheckAnswer = 1;
constexpr std::uint32_t QueryPayloadSize = 4;

}  // namespace

std::unique_ptr<DeviceSession> DeviceSession::Create(KvUsbEnumerator& enumerator, TickSource& ticks,
                                                     EphemeralKeySource& keySource) {
  std::unique_ptr<KvUsbDevice> device;
  if (enumerator.OpenDevice(0, device) != UsbOpenResult::Opened) {
    return nullptr;
  }
  return Attach(std::move(device), ticks, keySource);
}

std::unique_ptr<DeviceSession> DeviceSession::Attach(std::unique_ptr<KvUsbDevice> device,
                                                     TickSource& ticks,
                                                     EphemeralKeySource& keySource) {
  for (unsigned i = 0; i < device->GetOutPipeCount(); ++i) {
    device->EnableShortPacketTerminate(device->GetOutPipeId(i));
  }
  for (unsigned i = 0; i < device->GetInPipeCount(); ++i) {
    device->EnableShortPacketTerminate(device->GetInPipeId(i));
  }
  return std::unique_ptr<DeviceSession>(new DeviceSession(std::move(device), ticks, keySource));
}

DeviceSession::DeviceSession(std::unique_ptr<KvUsbDevice> device, TickSource& ticks,
                             EphemeralKeySource& keySource)
    : device(std::move(device)),
      frameBuffer(FrameHeaderSize, 0),
      ticks(ticks),
      keySource(keySource) {}

void DeviceSession::DropKeys() {
  payloadCipher.reset();
  sessionKeys.reset();
  keyEstablished = false;
}

unsigned DeviceSession::PipeCount(bool inPipes) const {
  return inPipes ? device->GetInPipeCount() : device->GetOutPipeCount();
}

std::uint8_t DeviceSession::PipeId(bool inPipes, unsigned index) const {
  return inPipes ? device->GetInPipeId(index) : device->GetOutPipeId(index);
}

// Polls each pipe until it reports halted, one after the other, without pausing between polls.
bool DeviceSession::WaitForHalts(bool inPipes, std::uint32_t start) {
  const unsigned count = PipeCount(inPipes);
  for (unsigned i = 0; i < count;) {
    if (device->IsPipeHalted(PipeId(inPipes, i))) {
      ++i;
    }
    if (Elapsed(start) > SyncDeadlineMilliseconds) {
      return false;
    }
  }
  return true;
}

// Aborts and resets every pipe, resetting again while a halt persists and time remains. A pipe
// still halted at the deadline does not by itself fail; a failed abort or reset does.
bool DeviceSession::ClearHalts(bool inPipes, std::uint32_t start) {
  bool ok = true;
  const unsigned count = PipeCount(inPipes);
  for (unsigned i = 0; i < count; ++i) {
    const std::uint8_t pipeId = PipeId(inPipes, i);
    ok = device->AbortPipe(pipeId) && ok;
    ok = device->ResetPipe(pipeId) && ok;
    while (device->IsPipeHalted(pipeId) && Elapsed(start) < SyncDeadlineMilliseconds) {
      ok = device->ResetPipe(pipeId) && ok;
    }
  }
  return ok;
}

bool DeviceSession::Synchronize() {
  broken = true;
  if (!device->ControlTransfer(SyncRequestType, SyncRequest, 0, 0, 0, nullptr)) {
    return false;
  }
  DropKeys();

  const std::uint32_t start = ticks.Milliseconds();
  if (!WaitForHalts(false, start) || !WaitForHalts(true, start)) {
    return false;
  }
  if (!ClearHalts(false, start)) {
    return false;
  }
  broken = false;
  if (!ClearHalts(true, start) || Elapsed(start) > SyncDeadlineMilliseconds) {
    return false;
  }

  std::uint32_t check = 0;
  return Query(SyncCheck, check) == StatusCode::Success && check == SyncCheckAnswer;
}

std::uint8_t* DeviceSession::PreparePayload(std::uint32_t size) {
  if (size > MaxPayloadLength) {
    return nullptr;
  }
  if (frameBuffer.size() < FrameHeaderSize + size) {
    frameBuffer.resize(FrameHeaderSize + size, 0);
  }
  return frameBuffer.data() + FrameHeaderSize;
}

bool DeviceSession::CheckResponseHeader(ConstFrameHeaderBytes header) const {
  return nevrik::CheckResponseHeader(header, sequence);
}

StatusCode DeviceSession::Transact(std::uint8_t command, bool secure, std::uint32_t length,
                                   std::vector<std::uint8_t>& response) {
  return Exchange(command, secure, length, nullptr, response);
}

StatusCode DeviceSession::Exchange(std::uint8_t command, bool secure, std::uint32_t length,
                                   const std::uint8_t* source,
                                   std::vector<std::uint8_t>& response) {
  // The frame buffer never exceeds a header and the largest payload, so this also keeps length
  // within the header's 16 bits.
  if (frameBuffer.size() < FrameHeaderSize + std::uint64_t{length}) {
    return StatusCode::HostInternalError;
  }
  if (secure && !keyEstablished) {
    return StatusCode::NoEstablishedKey;
  }
  if (broken) {
    return StatusCode::DeviceError;
  }

  ++sequence;
  std::uint8_t* payload = frameBuffer.data() + FrameHeaderSize;
  EncodeRequestHeader(FrameHeaderBytes(frameBuffer.data(), FrameHeaderSize), sequence, command,
                      secure, static_cast<std::uint16_t>(length));
  if (secure && length != 0) {
    payloadCipher->CryptPayload(source != nullptr ? source : payload, payload, length);
  }
  if (!device->Write(0, frameBuffer.data(), FrameHeaderSize + length)) {
    return StatusCode::DeviceError;
  }

  std::uint8_t headerBytes[FrameHeaderSize];
  std::uint32_t received = 0;
  if (!device->Read(0, headerBytes, FrameHeaderSize, &received)) {
    broken = true;
    return StatusCode::DeviceError;
  }
  if (received != FrameHeaderSize) {
    return StatusCode::DeviceError;
  }
  if (!CheckResponseHeader(headerBytes)) {
    return StatusCode::ProtocolError;
  }

  const FrameHeader header = DecodeFrameHeader(headerBytes);
  response.resize(header.length);
  if (header.length != 0) {
    if (!device->Read(0, response.data(), header.length, &received) || received != header.length) {
      broken = true;
      return StatusCode::DeviceError;
    }
  }

  if (header.StatusNumber() != 0) {
    return StatusFromDevice(header.code);  // an error response is never deciphered
  }
  if (!response.empty() && header.IsSecure()) {
    // A secure answer with no keys to read it cannot be trusted: it is refused, not deciphered.
    if (!payloadCipher) {
      return StatusCode::ProtocolError;
    }
    payloadCipher->CryptPayload(response.data(), response.data(), response.size());
  }
  return StatusCode::Success;
}

StatusCode DeviceSession::TransactNoData(std::uint8_t command, bool secure, std::uint32_t length) {
  return NoDataResult(Exchange(command, secure, length, nullptr, scratchResponse));
}

StatusCode DeviceSession::TransactSecureNoData(std::uint8_t command,
                                               std::span<const std::uint8_t> payload) {
  // Above the largest payload the frame buffer is always too short, as Transact finds.
  if (payload.size() > MaxPayloadLength) {
    return StatusCode::HostInternalError;
  }
  return NoDataResult(Exchange(command, true, static_cast<std::uint32_t>(payload.size()),
                               payload.data(), scratchResponse));
}

// A successful answer that should have been empty but was not is a ProtocolError.
StatusCode DeviceSession::NoDataResult(StatusCode status) const {
  return status == StatusCode::Success && !scratchResponse.empty() ? StatusCode::ProtocolError
                                                                   : status;
}

StatusCode DeviceSession::SendFinal() {
  if (frameBuffer.size() < FrameHeaderSize) {
    return StatusCode::HostInternalError;
  }
  if (broken) {
    return StatusCode::DeviceError;
  }
  ++sequence;
  EncodeRequestHeader(FrameHeaderBytes(frameBuffer.data(), FrameHeaderSize), sequence, CmdFinal,
                      false, 0);
  return device->Write(0, frameBuffer.data(), FrameHeaderSize) ? StatusCode::Success
                                                               : StatusCode::DeviceError;
}

// Sends CmdQuery with the selector, secure exactly while a key is established; the answer, which
// must be answerSize bytes, is left in scratchResponse.
StatusCode DeviceSession::SendQuery(std::uint32_t selector, std::size_t answerSize) {
  std::uint8_t* payload = PreparePayload(QueryPayloadSize);
  if (payload == nullptr) {
    return StatusCode::TooLargeData;
  }
  for (std::uint32_t i = 0; i < QueryPayloadSize; ++i) {
    payload[i] = static_cast<std::uint8_t>(selector >> (8 * i));
  }
  const StatusCode status = Transact(CmdQuery, keyEstablished, QueryPayloadSize, scratchResponse);
  if (status != StatusCode::Success) {
    return status;
  }
  return scratchResponse.size() == answerSize ? StatusCode::Success : StatusCode::ProtocolError;
}

StatusCode DeviceSession::Query(std::uint32_t selector, std::uint32_t& value) {
  const StatusCode status = SendQuery(selector, QueryPayloadSize);
  if (status != StatusCode::Success) {
    return status;
  }
  value = 0;
  for (std::uint32_t i = QueryPayloadSize; i-- > 0;) {
    value = (value << 8) | scratchResponse[i];
  }
  return StatusCode::Success;
}

StatusCode DeviceSession::GetStatus(DeviceStatus& record) {
  const StatusCode status = SendQuery(StatusSelector, DeviceStatus::Size);
  if (status != StatusCode::Success) {
    return status;
  }
  std::copy(scratchResponse.begin(), scratchResponse.end(), record.bytes.begin());
  return StatusCode::Success;
}

StatusCode DeviceSession::EstablishSecureMessaging() {
  DropKeys();
  auto result = std::make_unique<SessionKeys>();
  CryptoPP::SecByteBlock privateKey;
  CryptoPP::SecByteBlock publicKey;

  for (int attempt = 0; attempt < HandshakeAttemptLimit; ++attempt) {
    if (!keySource.Generate(privateKey, publicKey) || publicKey.size() != PublicKeySize) {
      return StatusCode::HostInternalError;
    }
    const HandshakeRequest request = BuildHandshakeRequest(
        std::span<const std::uint8_t, PublicKeySize>(publicKey.data(), PublicKeySize));
    if (frameBuffer.size() < FrameHeaderSize + HandshakeRequestSize) {
      frameBuffer.resize(FrameHeaderSize + HandshakeRequestSize, 0);
    }
    std::memcpy(frameBuffer.data() + FrameHeaderSize, request.data(), request.size());

    const StatusCode status = Transact(CmdHandshake, false, HandshakeRequestSize, scratchResponse);
    if (status != StatusCode::Success) {
      return status;
    }
    if (scratchResponse.size() != HandshakeResponseSize) {
      return StatusCode::HostInternalError;
    }
    if (DeriveSessionKeys(privateKey, request,
                          HandshakeResponseBytes(scratchResponse.data(), HandshakeResponseSize),
                          *result)) {
      sessionKeys = std::move(result);
      payloadCipher.emplace(*sessionKeys);
      keyEstablished = true;
      return StatusCode::Success;
    }
  }
  return StatusCode::ProtocolError;
}

}  // namespace nevrik
