#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include <cryptopp/secblock.h>

#include "secure/key_agreement.h"
#include "secure/session_keys.h"

namespace nevrik {

// The handshake exchange (command CmdHandshake) and the derivation of the session keys from it.
//
// Request, 73 bytes: leadByte 0x00, hostId (8 x 0x00), host key X, host key Y.
// Response, 97 bytes: leadByte, initialCounter (16), 16 bytes the host ignores, device key X,
// device key Y. Coordinates are big-endian.
inline constexpr std::size_t HandshakeRequestSize = 73;
inline constexpr std::size_t HandshakeResponseSize = 97;
inline constexpr std::size_t OtherInfoSize = 61;
inline constexpr std::size_t KeyMaterialSize = 64;
inline constexpr std::size_t FingerprintSize = 8;
inline constexpr int HandshakeAttemptLimit = 10;

using HandshakeRequest = std::array<std::uint8_t, HandshakeRequestSize>;
using OtherInfo = std::array<std::uint8_t, OtherInfoSize>;
using DeviceKeyFingerprint = std::array<std::uint8_t, FingerprintSize>;

using HandshakeRequestBytes = std::span<const std::uint8_t, HandshakeRequestSize>;
using HandshakeResponseBytes = std::span<const std::uint8_t, HandshakeResponseSize>;

// The request carrying the host's ephemeral public key (its leading 0x04 is not sent).
HandshakeRequest BuildHandshakeRequest(std::span<const std::uint8_t, PublicKeySize> hostPublicKey);

// The first 8 bytes of SHA-256 over the device key's X and Y (response bytes 33 to 96).
DeviceKeyFingerprint FingerprintDeviceKey(HandshakeResponseBytes response);

// The fixed input of the key derivation: the algorithm identifier 09 09 09 09, then the host's
// items (hostId, leadByte, first 16 bytes of host key X) and the device's items (fingerprint,
// initialCounter, leadByte), each preceded by its length byte. The device derives from the same
// 61 bytes, so their order is part of the protocol.
OtherInfo BuildOtherInfo(HandshakeRequestBytes request, HandshakeResponseBytes response,
                         const DeviceKeyFingerprint& fingerprint);

// One-step key derivation of NIST SP 800-56C with SHA-256: 64 bytes of
// SHA-256(00000001 || Z || OtherInfo) || SHA-256(00000002 || Z || OtherInfo).
void DeriveKeyMaterial(std::uint8_t* output, const std::uint8_t* z, std::size_t zLength,
                       std::span<const std::uint8_t, OtherInfoSize> otherInfo);

// Agrees with the device key of response under privateKey and fills keys with key material
// bytes 16 to 63 and the response's initialCounter. False, with keys untouched, when the device
// key is rejected. The agreed value and the key material bytes not kept are wiped.
bool DeriveSessionKeys(const CryptoPP::SecByteBlock& privateKey, HandshakeRequestBytes request,
                       HandshakeResponseBytes response, SessionKeys& keys);

}  // namespace nevrik
