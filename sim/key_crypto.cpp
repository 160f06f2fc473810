#include "sim/key_crypto.h"

#include <cryptopp/aes.h>
#include <cryptopp/eccrypto.h>
#include <cryptopp/ecp.h>
#include <cryptopp/integer.h>
#include <cryptopp/modes.h>
#include <cryptopp/nbtheory.h>
#include <cryptopp/oids.h>
#include <cryptopp/osrng.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <array>

namespace nevrik::simkey {
namespace {

using CryptoPP::ECP;
using CryptoPP::Integer;
using CurveParameters = CryptoPP::DL_GroupParameters_EC<ECP>;

// Built once per thread: decoding the curve's parameters costs more than checking a point.
const CurveParameters& P256() {
  thread_local const CurveParameters curve(CryptoPP::ASN1::secp256r1());
  return curve;
}

Integer ToInteger(std::span<const std::uint8_t> bigEndian) {
  return Integer(bigEndian.data(), bigEndian.size());
}

Coordinate ToCoordinate(const Integer& value) {
  Coordinate bytes{};
  value.Encode(bytes.data(), bytes.size());
  return bytes;
}

// d * Q, the key's costliest step.
ECP::Point Multiply(const CurveParameters& curve, const ECP::Point& q, const Integer& d) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
  // Fuzzing builds only: a fuzzer runs the key with one fixed private key against one host key
  // run after run. The last few products are kept with their factors and handed out again for
  // the same factors; any others are computed.
  struct Product {
    ECP::Point q;
    Integer d;
    ECP::Point product;
  };
  static std::array<std::optional<Product>, 4> remembered;
  static std::size_t next = 0;
  for (const std::optional<Product>& known : remembered) {
    if (known && known->q == q && known->d == d) {
      return known->product;
    }
  }
  std::optional<Product>& slot = remembered[next++ % remembered.size()];
  slot = Product{q, d, curve.GetCurve().ScalarMultiply(q, d)};
  return slot->product;
#else
  return curve.GetCurve().ScalarMultiply(q, d);
#endif
}

}  // namespace

std::optional<KeyPair> MakeKeyPair(std::optional<std::span<const std::uint8_t>> privateKey) {
  const CurveParameters& curve = P256();
  const Integer& order = curve.GetSubgroupOrder();
  Integer d;
  if (privateKey) {
    if (privateKey->size() != 32) {
      return std::nullopt;
    }
    d = ToInteger(*privateKey);
    if (d < Integer::One() || d >= order) {
      return std::nullopt;
    }
  } else {
    CryptoPP::AutoSeededRandomPool random;
    d = Integer(random, Integer::One(), order - Integer::One());
  }
  const ECP::Point q = Multiply(curve, curve.GetSubgroupGenerator(), d);
  KeyPair pair;
  pair.privateKey.New(32);
  d.Encode(pair.privateKey.data(), pair.privateKey.size());
  pair.publicKey.x = ToCoordinate(q.x);
  pair.publicKey.y = ToCoordinate(q.y);
  return pair;
}

bool IsValidPoint(const KeyPoint& point) {
  const CurveParameters& curve = P256();
  const Integer& prime = curve.GetCurve().GetField().GetModulus();
  const ECP::Point decoded(ToInteger(point.x), ToInteger(point.y));
  return decoded.x < prime && decoded.y < prime && curve.GetCurve().VerifyPoint(decoded);
}

std::optional<CryptoPP::SecByteBlock> AgreeWith(const CryptoPP::SecByteBlock& privateKey,
                                                const KeyPoint& other) {
  if (!IsValidPoint(other)) {
    return std::nullopt;
  }
  const CurveParameters& curve = P256();
  const ECP::Point product =
      Multiply(curve, ECP::Point(ToInteger(other.x), ToInteger(other.y)), ToInteger(privateKey));
  if (product.identity) {
    return std::nullopt;
  }
  CryptoPP::SecByteBlock z(32);
  product.x.Encode(z.data(), z.size());
  return z;
}

std::array<std::uint8_t, OtherInfoSize> BuildOtherInfo(std::span<const std::uint8_t> request,
                                                       std::span<const std::uint8_t> response) {
  std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> keyDigest{};
  CryptoPP::SHA256().CalculateDigest(keyDigest.data(), response.data() + 33, 64);

  std::array<std::uint8_t, OtherInfoSize> info{};
  std::size_t at = 0;
  const auto item = [&](std::span<const std::uint8_t> bytes) {
    info[at++] = static_cast<std::uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), info.begin() + static_cast<std::ptrdiff_t>(at));
    at += bytes.size();
  };
  const std::uint8_t algorithm[4] = {0x09, 0x09, 0x09, 0x09};
  item(algorithm);
  item(request.subspan(1, 8));   // host id
  item(request.subspan(0, 1));   // host lead byte
  item(request.subspan(9, 16));  // first half of the host's X
  item(std::span<const std::uint8_t>(keyDigest).first(8));
  item(response.subspan(1, 16));  // initial counter
  item(response.subspan(0, 1));   // key lead byte
  return info;
}

CryptoPP::SecByteBlock DeriveKeyMaterial(const CryptoPP::SecByteBlock& z,
                                         std::span<const std::uint8_t, OtherInfoSize> otherInfo) {
  CryptoPP::SecByteBlock material(KeyMaterialSize);
  for (std::uint8_t counter = 1; counter <= 2; ++counter) {
    const std::uint8_t counterBytes[4] = {0, 0, 0, counter};
    CryptoPP::SHA256 hash;
    hash.Update(counterBytes, sizeof counterBytes);
    hash.Update(z.data(), z.size());
    hash.Update(otherInfo.data(), otherInfo.size());
    hash.Final(material.data() + (counter - 1) * CryptoPP::SHA256::DIGESTSIZE);
  }
  return material;
}

void CryptPayloadInPlace(std::span<const std::uint8_t, 16> frameKey,
                         std::span<const std::uint8_t, 16> initialCounter,
                         std::span<std::uint8_t> data) {
  if (data.empty()) {
    return;
  }
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher(frameKey.data(), frameKey.size(),
                                                       initialCounter.data());
  cipher.ProcessData(data.data(), data.data(), data.size());
}

KeyPoint PointWithCoordinateAbovePrime() {
  const CurveParameters& curve = P256();
  const ECP& ecp = curve.GetCurve();
  const Integer& prime = ecp.GetField().GetModulus();
  for (Integer x = Integer::One();; ++x) {
    const Integer rightSide = (x * x * x + ecp.GetA() * x + ecp.GetB()) % prime;
    if (CryptoPP::Jacobi(rightSide, prime) == 1) {
      return KeyPoint{ToCoordinate(x + prime),
                      ToCoordinate(CryptoPP::ModularSquareRoot(rightSide, prime))};
    }
  }
}

}  // namespace nevrik::simkey
