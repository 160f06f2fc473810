#pragma once

#include <cryptopp/secblock.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

// The key's cryptography, written against Crypto++'s curve arithmetic, hash and block cipher
// directly (not the host's key-agreement classes):
// - P-256 (secp256r1) key pairs; the agreed value Z is the X coordinate of d * Q, and the other
//   party's point (X, Y) must have both coordinates below the field prime p and lie on the curve;
// - the one-step key derivation of NIST SP 800-56C with SHA-256: SHA-256(counter || Z || OtherInfo)
//   for the 32-bit big-endian counters 1 and 2, 64 bytes;
// - the payload cipher: AES-128 in counter mode, the 16-byte counter block read as one big-endian
//   number that wraps modulo 2^128, restarted at the initial counter for every payload.
namespace nevrik::simkey {

using Coordinate = std::array<std::uint8_t, 32>;

struct KeyPoint {
  Coordinate x{};
  Coordinate y{};
};

struct KeyPair {
  CryptoPP::SecByteBlock privateKey;  // 32 bytes, big-endian, between 1 and n-1
  KeyPoint publicKey;
};

inline constexpr std::size_t OtherInfoSize = 61;
inline constexpr std::size_t KeyMaterialSize = 64;

// The pair for the given private key, or for a new random one when none is given. Nothing when
// the given key is not 32 bytes or not between 1 and n-1.
std::optional<KeyPair> MakeKeyPair(std::optional<std::span<const std::uint8_t>> privateKey);

// Both coordinates below p and the point on the curve.
bool IsValidPoint(const KeyPoint& point);

// Z, 32 bytes; nothing when `other` is not a valid point.
std::optional<CryptoPP::SecByteBlock> AgreeWith(const CryptoPP::SecByteBlock& privateKey,
                                                const KeyPoint& other);

// The 61-byte OtherInfo from the 73-byte handshake request and the 97-byte response: the
// identifier 09 09 09 09, then the host's items (its id, lead byte, first 16 bytes of its X), then
// the key's items (fingerprint = first 8 bytes of SHA-256 over the key's X and Y, initial counter,
// lead byte), each item behind its one-byte length.
std::array<std::uint8_t, OtherInfoSize> BuildOtherInfo(std::span<const std::uint8_t> request,
                                                       std::span<const std::uint8_t> response);

CryptoPP::SecByteBlock DeriveKeyMaterial(const CryptoPP::SecByteBlock& z,
                                         std::span<const std::uint8_t, OtherInfoSize> otherInfo);

// Enciphers or deciphers data in place.
void CryptPayloadInPlace(std::span<const std::uint8_t, 16> frameKey,
                         std::span<const std::uint8_t, 16> initialCounter,
                         std::span<std::uint8_t> data);

// A point on the curve whose X coordinate is so small that X + p still fits in 32 bytes. Sent as
// (X + p, Y) it is on the curve once reduced modulo p, so only the range check can refuse it.
KeyPoint PointWithCoordinateAbovePrime();

}  // namespace nevrik::simkey
