#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "protocol/device_status.h"
#include "protocol/frame.h"
#include "protocol/status_code.h"
#include "protocol/tick_source.h"
#include "secure/ephemeral_key_source.h"
#include "secure/payload_cipher.h"
#include "secure/session_keys.h"
#include "usb/kv_usb_device.h"
#include "usb/kv_usb_enumerator.h"

namespace nevrik {

// The protocol-level connection to the one attached device: it frames every request, checks and
// reads every response, keeps the sequence counter, holds the session keys once the handshake has
// made them and enciphers and deciphers secure payloads. Requests go out on OUT pipe index 0,
// responses come from IN pipe index 0. Nothing here prints; every exchange ends in a StatusCode.
//
// A request's payload is built in place: PreparePayload gives the area behind the header, the
// caller fills it, and Transact writes the header in front and, for a secure request, enciphers
// the area in place. A secure payload that already lies elsewhere (an image chunk) is instead
// enciphered from there straight into the frame by TransactSecureNoData. The frame buffer only
// grows and is reused, and the payload cipher is keyed once per handshake, so a request costs no
// allocation once the buffer has grown to the largest payload.
//
// `broken` latches when a response could not be read whole: the byte stream can no longer be
// trusted, so every later Transact and SendFinal fails with DeviceError before sending anything,
// until Synchronize brings the device back into step.
class DeviceSession {
 public:
  // Opens device 0 of an enumerator that has found exactly one, and turns on short-packet
  // termination on every pipe. Null when the device cannot be opened, whatever the reason.
  static std::unique_ptr<DeviceSession> Create(
      KvUsbEnumerator& enumerator, TickSource& ticks = SystemTickSource(),
      EphemeralKeySource& keySource = AutoSeededKeySource());

  // A session on a device already opened from an enumerator, with short-packet termination
  // turned on on every pipe.
  static std::unique_ptr<DeviceSession> Attach(
      std::unique_ptr<KvUsbDevice> device, TickSource& ticks = SystemTickSource(),
      EphemeralKeySource& keySource = AutoSeededKeySource());
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Brings the device into a known protocol state: the class request makes the device halt every
  // bulk endpoint, the halts are awaited and cleared (within 3000 ms), and the device must then
  // answer the check query with 1. Drops the session keys.
  bool Synchronize();

  // The payload area for a request of size bytes, behind the header; null above 65535 bytes.
  std::uint8_t* PreparePayload(std::uint32_t size);

  // Sends the request whose length payload bytes the caller placed with PreparePayload and reads
  // the response's payload into response (deciphered when the device sent it secure).
  StatusCode Transact(std::uint8_t command, bool secure, std::uint32_t length,
                      std::vector<std::uint8_t>& response);

  // As Transact for a command whose response must be empty; one with data is a ProtocolError.
  StatusCode TransactNoData(std::uint8_t command, bool secure, std::uint32_t length);

  // As TransactNoData(command, true, payload.size()) for a payload that lies outside the frame:
  // it is enciphered from payload straight into the frame's payload area, in one pass, instead
  // of being placed there first. The area must have been prepared with PreparePayload (else
  // HostInternalError, as for Transact), and payload must not overlap it unless it is the area.
  StatusCode TransactSecureNoData(std::uint8_t command, std::span<const std::uint8_t> payload);

  // The header-only CmdFinal frame, which the device does not answer.
  StatusCode SendFinal();

  // The 32-bit answer to a query selector; secure exactly while a key is established.
  StatusCode Query(std::uint32_t selector, std::uint32_t& value);

  // The device's status record; left as it was unless the answer is exactly 108 bytes.
  StatusCode GetStatus(DeviceStatus& record);

  // The header check against the current sequence counter.
  bool CheckResponseHeader(ConstFrameHeaderBytes header) const;

  // The handshake: up to HandshakeAttemptLimit attempts, each with a new host key pair, until
  // the device's answer yields session keys. Drops the keys first; leaves none on failure.
  StatusCode EstablishSecureMessaging();

  KvUsbDevice& Device() { return *device; }
  bool IsBroken() const { return broken; }
  bool KeyEstablished() const { return keyEstablished; }

 private:
  DeviceSession(std::unique_ptr<KvUsbDevice> device, TickSource& ticks,
                EphemeralKeySource& keySource);

  void DropKeys();
  // Transact, with a secure payload taken from source (null: the frame's own payload area).
  StatusCode Exchange(std::uint8_t command, bool secure, std::uint32_t length,
                      const std::uint8_t* source, std::vector<std::uint8_t>& response);
  StatusCode NoDataResult(StatusCode status) const;
  StatusCode SendQuery(std::uint32_t selector, std::size_t answerSize);
  bool WaitForHalts(bool inPipes, std::uint32_t start);
  bool ClearHalts(bool inPipes, std::uint32_t start);
  std::uint32_t Elapsed(std::uint32_t start) { return ticks.Milliseconds() - start; }
  unsigned PipeCount(bool inPipes) const;
  std::uint8_t PipeId(bool inPipes, unsigned index) const;

  std::unique_ptr<KvUsbDevice> device;
  std::vector<std::uint8_t> frameBuffer;
  std::uint32_t sequence = 0;
  std::unique_ptr<SessionKeys> sessionKeys;
  std::optional<PayloadCipher> payloadCipher;  // made from sessionKeys, dropped with them
  bool keyEstablished = false;
  bool broken = false;

  TickSource& ticks;
  EphemeralKeySource& keySource;
  std::vector<std::uint8_t> scratchResponse;  // reused by the operations that keep no response
};

}  // namespace nevrik
