// The emulated USB bus as the tests meet it: how long it takes to set up, to enumerate, and to
// carry a bulk round trip or a whole secure request through libusb and umockdev. Runs under
// umockdev's preload (umockdev-wrapper build/bench/usbbus_bench).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/update_procedure.h"
#include "protocol/device_session.h"
#include "protocol/frame.h"
#include "sim/sim_key.h"
#include "usb/libusb_enumerator.h"
#include "usb/platform_enumerator.h"
#include "usbbus/emulated_usb_bus.h"
#include "usbbus/stand_in_function.h"
#include "usbbus/usb_descriptor_writer.h"

namespace nevrik {
namespace {

using usbbus::EmulatedUsbBus;

// A new bus with one simulated key plugged in, and its removal.
void BM_BusWithOneKey(benchmark::State& state) {
  for (auto _ : state) {
    EmulatedUsbBus bus;
    bus.Plug(std::make_shared<SimKey>());
  }
}
BENCHMARK(BM_BusWithOneKey)->Unit(benchmark::kMillisecond);

// A new enumerator (a new libusb session) finding the one key.
void BM_EnumerateOneKey(benchmark::State& state) {
  EmulatedUsbBus bus;
  bus.Plug(std::make_shared<SimKey>());
  for (auto _ : state) {
    LibUsbEnumerator enumerator{std::string(usbbus::NevrikInterfaceGuid)};
    if (!enumerator.Enumerate()) {
      state.SkipWithError("no key found");
      break;
    }
  }
}
BENCHMARK(BM_EnumerateOneKey)->Unit(benchmark::kMillisecond);

// One transfer written to a device that echoes it, and read back: two bulk transfers, plus the
// zero-length packets of a length that fills its last packet.
void BM_BulkRoundTrip(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  const auto packetSize = static_cast<std::uint16_t>(state.range(1));
  EmulatedUsbBus bus;
  bus.Plug(std::make_shared<usbbus::StandInFunction>(usbbus::KeyPlan(packetSize)));
  LibUsbEnumerator enumerator{std::string(usbbus::NevrikInterfaceGuid)};
  std::unique_ptr<KvUsbDevice> device;
  if (!enumerator.Enumerate() || enumerator.OpenDevice(0, device) != UsbOpenResult::Opened) {
    state.SkipWithError("no key opened");
    return;
  }
  device->EnableShortPacketTerminate(device->GetOutPipeId(0));
  device->EnableShortPacketTerminate(device->GetInPipeId(0));
  std::vector<std::uint8_t> sent(size, 0x5A);
  std::vector<std::uint8_t> received(size);
  for (auto _ : state) {
    std::uint32_t transferred = 0;
    if (!device->Write(0, sent.data(), static_cast<std::uint32_t>(size)) ||
        !device->Read(0, received.data(), static_cast<std::uint32_t>(size), &transferred) ||
        transferred != size) {
      state.SkipWithError("the echo did not come back whole");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 2 * size));
}
BENCHMARK(BM_BulkRoundTrip)
    ->Args({12, 64})
    ->Args({64, 64})
    ->Args({8200, 64})
    ->Args({8200, 512})
    ->Unit(benchmark::kMicrosecond);

// A secure query to the simulated key, as the updater sends its requests.
void BM_SecureQuery(benchmark::State& state) {
  EmulatedUsbBus bus;
  bus.Plug(std::make_shared<SimKey>());
  LibUsbEnumerator enumerator{std::string(usbbus::NevrikInterfaceGuid)};
  enumerator.Enumerate();
  const std::unique_ptr<DeviceSession> session = DeviceSession::Create(enumerator);
  if (!session || !session->Synchronize() ||
      session->EstablishSecureMessaging() != StatusCode::Success) {
    state.SkipWithError("no secure session");
    return;
  }
  for (auto _ : state) {
    std::uint32_t value = 0;
    if (session->Query(SyncCheck, value) != StatusCode::Success || value != 1) {
      state.SkipWithError("the query failed");
      break;
    }
  }
}
BENCHMARK(BM_SecureQuery)->Unit(benchmark::kMicrosecond);

// A whole update of a simulated key at version 1.5 with the given packet size, as the program
// runs it: enumeration, opening, synchronisation, status, the answer "y", the handshake, setup,
// the image, the hash check and deploy. Wall time: the key answers from the bus's own thread.
void BM_WholeUpdate(benchmark::State& state) {
  EmulatedUsbBus bus;
  SimKeyUsbConfig usb;
  usb.maxPacketSize = static_cast<std::uint16_t>(state.range(0));
  bus.Plug(std::make_shared<SimKey>(usb));
  std::FILE* answers = std::tmpfile();
  std::FILE* output = std::fopen("/dev/null", "w");
  if (answers == nullptr || output == nullptr || std::fputs("y\n", answers) < 0) {
    state.SkipWithError("no streams");
    return;
  }
  UpdaterEnvironment environment;
  environment.streams = {answers, output, output};
  environment.makeEnumerator = MakePlatformEnumerator;
  for (auto _ : state) {
    std::rewind(answers);
    // Forced: after the first run the key already holds this firmware.
    if (RunDeviceStage(true, environment) != ExitCode::ExitOk) {
      state.SkipWithError("the update failed");
      break;
    }
  }
  std::fclose(answers);
  std::fclose(output);
}
BENCHMARK(BM_WholeUpdate)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace nevrik
