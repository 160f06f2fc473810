#include <benchmark/benchmark.h>

#include <cryptopp/sha.h>

#include <vector>

#include "secure/payload_cipher.h"
#include "secure/session_keys.h"

namespace nevrik {
namespace {

// One secure payload enciphered in place under the session's cipher, keyed once.
void BM_CryptPayload(benchmark::State& state) {
  SessionKeys keys;
  keys.frameKey.fill(0x2B);
  keys.initialCounter.fill(0xF0);
  PayloadCipher cipher(keys);
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(state.range(0)), 0x5A);
  for (auto _ : state) {
    cipher.CryptPayload(payload.data(), payload.data(), payload.size());
    benchmark::DoNotOptimize(payload.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CryptPayload)->Arg(4)->Arg(73)->Arg(8192);

// The image digest the updater compares with the key's: one call over the whole image.
void BM_ImageDigest(benchmark::State& state) {
  const std::vector<std::uint8_t> image(113736, 0xA5);
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  for (auto _ : state) {
    CryptoPP::SHA256().CalculateDigest(digest, image.data(), image.size());
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(image.size()));
}
BENCHMARK(BM_ImageDigest);

}  // namespace
}  // namespace nevrik
