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
#include <initializer_list>

#include "secure/fuzzing_build.h"

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

// The costly steps' results, kept by their input bytes. In fuzzing builds a fuzzer runs the key
// with one fixed private key against one fixed host key run after run, so the last few results
// used are handed out again for the same bytes and any other input is computed; the one used
// longest ago makes room. Every other build computes every time.
template <typename Value, std::size_t InputSize>
class RecentResults {
 public:
  using Input = std::array<std::uint8_t, InputSize>;

  template <typename Compute>
  Value Get(const Input& input, Compute compute) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    ++uses;
    for (std::optional<Entry>& entry : entries) {
      if (entry && entry->input == input) {
        entry->lastUse = uses;
        return entry->value;
      }
    }
    std::optional<Entry>& slot =
        *std::min_element(entries.begin(), entries.end(), [](const auto& left, const auto& right) {
          return (left ? left->lastUse : 0) < (right ? right->lastUse : 0);
        });
    slot = Entry{input, compute(), uses};
    return slot->value;
#else
    static_cast<void>(input);
    return compute();
#endif
  }

 private:
  struct Entry {
    Input input;
    Value value;
    std::uint64_t lastUse;
  };
  std::array<std::optional<Entry>, 4> entries;
  std::uint64_t uses = 0;
};

template <std::size_t Size>
std::array<std::uint8_t, Size> Concatenate(
    std::initializer_list<std::span<const std::uint8_t>> parts) {
  std::array<std::uint8_t, Size> joined{};
  auto at = joined.begin();
  for (std::span<const std::uint8_t> part : parts) {
    at = std::copy(part.begin(), part.end(), at);
  }
  return joined;
}

}  // namespace

std::optional<KeyPair> MakeKeyPair(std::optional<std::span<const std::uint8_t>> privateKey) {
  const CurveParameters& curve = P256();
  const Integer& order = curve.GetSubgroupOrder();
  if (privateKey && privateKey->size() != 32) {
    return std::nullopt;
  }
  const auto pairFor = [&](const Integer& d) -> std::optional<KeyPair> {
    if (d < Integer::One() || d >= order) {
      return std::nullopt;
    }
    const ECP::Point q = curve.GetCurve().ScalarMultiply(curve.GetSubgroupGenerator(), d);
    KeyPair pair;
    pair.privateKey.New(32);
    d.Encode(pair.privateKey.data(), pair.privateKey.size());
    pair.publicKey.x = ToCoordinate(q.x);
    pair.publicKey.y = ToCoordinate(q.y);
    return pair;
  };
  if (!privateKey) {
    CryptoPP::AutoSeededRandomPool random;
    return pairFor(Integer(random, Integer::One(), order - Integer::One()));
  }
  thread_local RecentResults<std::optional<KeyPair>, 32> pairs;
  return pairs.Get(Concatenate<32>({*privateKey}), [&] { return pairFor(ToInteger(*privateKey)); });
}

bool IsValidPoint(const KeyPoint& point) {
  thread_local RecentResults<bool, 64> verdicts;
  return verdicts.Get(Concatenate<64>({point.x, point.y}), [&] {
    const CurveParameters& curve = P256();
    const Integer& prime = curve.GetCurve().GetField().GetModulus();
    const ECP::Point decoded(ToInteger(point.x), ToInteger(point.y));
    return decoded.x < prime && decoded.y < prime && curve.GetCurve().VerifyPoint(decoded);
  });
}

std::optional<CryptoPP::SecByteBlock> AgreeWith(const CryptoPP::SecByteBlock& privateKey,
                                                const KeyPoint& other) {
  if (!IsValidPoint(other) || privateKey.size() != 32) {
    return std::nullopt;
  }
  thread_local RecentResults<std::optional<Coordinate>, 96> agreements;
  const std::optional<Coordinate> z = agreements.Get(
      Concatenate<96>({privateKey, other.x, other.y}), [&]() -> std::optional<Coordinate> {
        const ECP::Point product = P256().GetCurve().ScalarMultiply(
            ECP::Point(ToInteger(other.x), ToInteger(other.y)), ToInteger(privateKey));
        if (product.identity) {
          return std::nullopt;
        }
        return ToCoordinate(product.x);
      });
  if (!z) {
    return std::nullopt;
  }
  return CryptoPP::SecByteBlock(z->data(), z->size());
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
  // One cipher per thread, keyed again for each payload: keying an existing one reuses its
  // buffers, where a new one allocates them each time.
  thread_local CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption cipher;
  cipher.SetKeyWithIV(frameKey.data(), frameKey.size(), initialCounter.data(),
                      initialCounter.size());
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
