#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <cryptopp/secblock.h>

namespace nevrik {

// Elliptic-curve Diffie-Hellman on NIST P-256. Private keys are 32-byte big-endian integers;
// public keys the 65-byte uncompressed SEC 1 encoding 0x04 || X || Y; the agreed value is the
// 32-byte X coordinate of the shared point.
inline constexpr std::size_t PrivateKeySize = 32;
inline constexpr std::size_t PublicKeySize = 65;
inline constexpr std::size_t AgreedValueSize = 32;

// A fresh key pair from a newly seeded generator. False only when the operating system's random
// source fails; both buffers are then emptied.
bool GenerateEphemeralKeyPair(CryptoPP::SecByteBlock& privateKey,
                              CryptoPP::SecByteBlock& publicKey);

// The public key that belongs to privateKey. False when privateKey is not 32 bytes or not
// between 1 and the group order minus 1.
bool PublicKeyFromPrivate(const CryptoPP::SecByteBlock& privateKey,
                          CryptoPP::SecByteBlock& publicKey);

// Agrees with the device's public key, which must decode as a point of the curve with both
// coordinates below the field prime. False when it does not (or privateKey is not 32 bytes);
// agreedValue then holds zeros.
bool ComputeSharedSecret(const CryptoPP::SecByteBlock& privateKey,
                         std::span<const std::uint8_t, PublicKeySize> devicePublicKey,
                         CryptoPP::SecByteBlock& agreedValue);

}  // namespace nevrik
