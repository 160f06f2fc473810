// The host's own work in an update, against a key that answers every request at once (the
// tests' scripted key, which costs next to nothing), beside the cipher the host must run. The
// ratio of the write loop's time per chunk to the raw AES-128-CTR row is read from one run:
//   build/bench/write_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <cryptopp/sha.h>

#include <array>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/update_procedure.h"
#include "tests/support/scripted_key_device.h"

namespace nevrik {
namespace {

using test::ScriptedKeyDevice;
using test::ScriptedKeyEnumerator;

constexpr std::uint16_t HighSpeedPacket = 512;

// Where the progress dots go: /dev/null, so that every flush is a system call as on a console,
// or a small memory stream, where it is not and the loop's own work is left.
struct ProgressSink {
  explicit ProgressSink(bool console)
      : console(console),
        file(console ? std::fopen("/dev/null", "w") : fmemopen(buffer, sizeof buffer, "w")) {}
  ~ProgressSink() {
    if (file != nullptr) {
      std::fclose(file);
    }
  }
  // Makes room for the next run's dots in memory.
  void Restart() const {
    if (!console) {
      std::rewind(file);
    }
  }

  bool console;
  char buffer[64];
  std::FILE* file;
};

// A session on a scripted key that knows the digest of the pack's image.
std::unique_ptr<DeviceSession> OpenScriptedKey(const FirmwarePack& pack) {
  std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> digest;
  CryptoPP::SHA256().CalculateDigest(digest.data(), pack.Image().data(), pack.Image().size());
  ScriptedKeyEnumerator enumerator(std::make_unique<ScriptedKeyDevice>(HighSpeedPacket, digest));
  enumerator.Enumerate();
  return DeviceSession::Create(enumerator);
}

// The floor: AES-128 in counter mode over one chunk, keyed once, its counter set back to the
// same initial block for every chunk as the payload cipher does.
void BM_RawAesCtr(benchmark::State& state) {
  std::array<std::uint8_t, 16> key{};
  std::array<std::uint8_t, 16> counter{};
  key.fill(0x2B);
  counter.fill(0xF0);
  CryptoPP::CTR_Mode<CryptoPP::AES>::Encryption aes(key.data(), key.size(), counter.data());
  const std::vector<std::uint8_t> source(WriteChunkSize, 0x5A);
  std::vector<std::uint8_t> chunk(WriteChunkSize);
  for (auto _ : state) {
    aes.Resynchronize(counter.data(), static_cast<int>(counter.size()));
    aes.ProcessData(chunk.data(), source.data(), chunk.size());
    benchmark::DoNotOptimize(chunk.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * WriteChunkSize);
}
BENCHMARK(BM_RawAesCtr);

// The write loop: the embedded image in chunks of 8 KiB, each enciphered into a frame, written,
// answered and marked with a dot. The "chunk" counter is the time per chunk. Argument 0: the
// dots go to memory; 1: each is flushed to /dev/null with a system call, as on a console.
void BM_WriteImage(benchmark::State& state) {
  const FirmwarePack pack(EmbeddedFirmwarePackData());
  const std::unique_ptr<DeviceSession> session = OpenScriptedKey(pack);
  const ProgressSink progress(state.range(0) != 0);
  if (!session || progress.file == nullptr ||
      session->EstablishSecureMessaging() != StatusCode::Success) {
    state.SkipWithError("no secure session");
    return;
  }
  for (auto _ : state) {
    progress.Restart();
    if (WriteImage(*session, pack, progress.file, NoInterruption()) != WriteResult::Written) {
      state.SkipWithError("a chunk was refused");
      break;
    }
  }
  const double chunks = (pack.ImageSize() + WriteChunkSize - 1) / WriteChunkSize;
  state.counters["chunk"] = benchmark::Counter(
      chunks, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * pack.ImageSize());
}
BENCHMARK(BM_WriteImage)->ArgName("console")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The host's whole share of an update once the key is open: the handshake with a new key pair,
// the setup request, the image, its digest and the hash check, deploy and the final frame.
void BM_WholeUpdateHostCpu(benchmark::State& state) {
  const ProgressSink console(true);
  UpdaterEnvironment environment;
  environment.streams.out = console.file;
  const std::unique_ptr<DeviceSession> session = OpenScriptedKey(environment.pack);
  if (!session) {
    state.SkipWithError("no session");
    return;
  }
  for (auto _ : state) {
    SecretBytes noPin;
    if (WriteAndDeployFirmware(*session, noPin, environment) != UpdateOutcome::Deployed) {
      state.SkipWithError("the update failed");
      break;
    }
  }
}
BENCHMARK(BM_WholeUpdateHostCpu)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace nevrik
