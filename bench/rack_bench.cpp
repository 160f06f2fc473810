// A rack of keys on the emulated bus, through the shipped programs as an administrator runs them:
// nevrik-info listing 32 keys, and the rack recipe of docs/fleet.md updating 8. Wall time per
// run and per key, and the CPU time of the programs it started (nevrik-info; bash, jq and the
// updaters), per key. The simulated keys answer from this process,
// whose own CPU time is the emulation's. Runs under umockdev's preload
// (umockdev-wrapper build/bench/rack_bench).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim_key.h"
#include "tests/support/captured_file.h"
#include "tests/support/document_block.h"
#include "usbbus/emulated_usb_bus.h"

namespace nevrik {
namespace {

using usbbus::EmulatedUsbBus;

double ChildrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A key at 1.5 with the SO PIN 1234 and a serial number of its own.
std::shared_ptr<SimKey> RackKey(unsigned number) {
  const std::string serial = "NVKRACK" + std::to_string(1000 + number);
  SimKeyUsbConfig usb;
  usb.serialNumber = serial;
  SimKeyFirmwareConfig firmware;
  firmware.serialNumber = serial;
  firmware.soPin = std::vector<std::uint8_t>{'1', '2', '3', '4'};
  return std::make_shared<SimKey>(usb, firmware);
}

using Clock = std::chrono::steady_clock;

void ReportPerKey(benchmark::State& state, unsigned keys, Clock::duration wall,
                  double childrenCpu) {
  const auto runs = static_cast<double>(state.iterations());
  state.counters["keys"] = keys;
  state.counters["wall_ms_per_key"] =
      std::chrono::duration<double, std::milli>(wall).count() / (runs * keys);
  state.counters["programs_cpu_ms_per_key"] = childrenCpu * 1e3 / (runs * keys);
}

// nevrik-info over 32 keys: enumerating, opening, synchronising and reading each key's status.
void BM_InfoOver32Keys(benchmark::State& state) {
  constexpr unsigned Keys = 32;
  EmulatedUsbBus bus;
  for (unsigned number = 1; number <= Keys; ++number) {
    bus.Plug(RackKey(number));
  }
  const test::CapturedFile out;
  const int output = fileno(out.File());
  const double cpuBefore = ChildrenCpuSeconds();
  Clock::duration wall{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const int exitCode =
        bus.RunCommand({NEVRIK_INFO_PATH, "--json"}, {std::nullopt, output, output, -1});
    wall += Clock::now() - start;
    if (exitCode != 0) {
      state.SkipWithError("nevrik-info failed");
      break;
    }
  }
  // Every key listed, every time.
  const std::string listed = out.Text();
  std::size_t serials = 0;
  for (std::size_t at = listed.find("NVKRACK"); at != std::string::npos;
       at = listed.find("NVKRACK", at + 1)) {
    ++serials;
  }
  if (serials != Keys * static_cast<std::size_t>(state.iterations())) {
    state.SkipWithError("nevrik-info did not list every key");
  }
  ReportPerKey(state, Keys, wall, ChildrenCpuSeconds() - cpuBefore);
}
BENCHMARK(BM_InfoOver32Keys)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The rack recipe updating 8 keys at 1.5, the SO PIN given once; fresh keys for every run,
// plugged in while the clock stands.
void BM_RackRecipeOver8Keys(benchmark::State& state) {
  constexpr unsigned Keys = 8;
  char name[] = "/tmp/nevrik-rack-bench-XXXXXX";
  if (mkdtemp(name) == nullptr) {
    state.SkipWithError("no folder");
    return;
  }
  const std::string recipe = std::string(name) + "/nevrik-rack";
  std::ofstream(recipe) << test::RackRecipe();
  const std::string programs = NEVRIK_INFO_PATH;  // the updater is built beside it
  const char* path = std::getenv("PATH");
  setenv("PATH", (programs.substr(0, programs.rfind('/')) + ":" + (path ? path : "/bin")).c_str(),
         1);
  EmulatedUsbBus bus;
  std::vector<EmulatedUsbBus::DeviceId> plugged;
  const test::CapturedFile out;
  const test::CapturedFile pin("1234\n");
  double childrenCpu = 0;
  Clock::duration wall{};
  for (auto _ : state) {
    state.PauseTiming();
    for (const EmulatedUsbBus::DeviceId id : plugged) {
      bus.Unplug(id);
    }
    plugged.clear();
    for (unsigned number = 1; number <= Keys; ++number) {
      plugged.push_back(bus.Plug(RackKey(number)));
    }
    std::rewind(pin.File());
    const double cpuBefore = ChildrenCpuSeconds();
    state.ResumeTiming();
    const Clock::time_point start = Clock::now();
    const int exitCode =
        bus.RunCommand({"/bin/bash", recipe},
                       {std::nullopt, fileno(out.File()), fileno(out.File()), fileno(pin.File())});
    wall += Clock::now() - start;
    childrenCpu += ChildrenCpuSeconds() - cpuBefore;
    if (exitCode != 0) {
      state.SkipWithError("the recipe did not update every key");
      break;
    }
  }
  ReportPerKey(state, Keys, wall, childrenCpu);
  std::system(("rm -rf " + std::string(name)).c_str());
}
BENCHMARK(BM_RackRecipeOver8Keys)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
}  // namespace nevrik
