#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "protocol/device_session.h"
#include "tests/protocol/session_bench.h"

namespace nevrik {
namespace {

using test::Bytes;
using test::FakeTickSource;
using test::FixedKeySource;
using test::IsPoll;
using test::IsReset;
using test::SessionBench;

constexpr std::uint8_t Out = 0x01;
constexpr std::uint8_t In = 0x81;
constexpr std::uint8_t BulkEndpoints[] = {0x01, 0x02, 0x81, 0x82};

// A device whose AbortPipe fails on chosen pipes, which no simulated key can make happen: the
// abort is the host's own business. Everything else goes to the device inside.
class AbortFailingDevice final : public KvUsbDevice {
 public:
  AbortFailingDevice(std::unique_ptr<KvUsbDevice> inner, std::set<std::uint8_t> failing)
      : inner(std::move(inner)), failing(std::move(failing)) {}

  void Close() override { inner->Close(); }
  bool IsOpen() const override { return inner->IsOpen(); }
  unsigned GetOutPipeCount() const override { return inner->GetOutPipeCount(); }
  unsigned GetInPipeCount() const override { return inner->GetInPipeCount(); }
  std::uint8_t GetOutPipeId(unsigned index) const override { return inner->GetOutPipeId(index); }
  std::uint8_t GetInPipeId(unsigned index) const override { return inner->GetInPipeId(index); }
  bool EnableShortPacketTerminate(std::uint8_t pipeId) override {
    return inner->EnableShortPacketTerminate(pipeId);
  }
  bool SetPipeTimeout(std::uint8_t pipeId, std::uint32_t milliseconds) override {
    return inner->SetPipeTimeout(pipeId, milliseconds);
  }
  bool ControlTransfer(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                       std::uint16_t index, std::uint16_t length, std::uint8_t* data) override {
    return inner->ControlTransfer(requestType, request, value, index, length, data);
  }
  bool Write(unsigned index, const std::uint8_t* data, std::uint32_t length) override {
    return inner->Write(index, data, length);
  }
  bool Read(unsigned index, std::uint8_t* data, std::uint32_t length,
            std::uint32_t* transferred) override {
    return inner->Read(index, data, length, transferred);
  }
  bool IsPipeHalted(std::uint8_t pipeId) override { return inner->IsPipeHalted(pipeId); }
  bool AbortPipe(std::uint8_t pipeId) override {
    return inner->AbortPipe(pipeId) && !failing.contains(pipeId);
  }
  bool ResetPipe(std::uint8_t pipeId) override { return inner->ResetPipe(pipeId); }

 private:
  std::unique_ptr<KvUsbDevice> inner;
  std::set<std::uint8_t> failing;
};

// Hands out the devices of a simulated-key enumerator wrapped as AbortFailingDevice.
class AbortFailingEnumerator final : public KvUsbEnumerator {
 public:
  AbortFailingEnumerator(std::shared_ptr<SimKey> key, std::set<std::uint8_t> failing)
      : failing(std::move(failing)) {
    inner.Attach(std::move(key));
  }

  bool Enumerate() override { return inner.Enumerate(); }
  bool IsEmpty() const override { return inner.IsEmpty(); }
  unsigned GetCount() const override { return inner.GetCount(); }
  UsbKeyIdentity GetIdentity(unsigned index) const override { return inner.GetIdentity(index); }
  UsbOpenResult OpenDevice(unsigned index, std::unique_ptr<KvUsbDevice>& device) override {
    const UsbOpenResult result = inner.OpenDevice(index, device);
    if (device) {
      device = std::make_unique<AbortFailingDevice>(std::move(device), failing);
    }
    return result;
  }
  std::unique_ptr<KvUsbDevice> OpenDeviceOrNull(unsigned index) override {
    std::unique_ptr<KvUsbDevice> device;
    OpenDevice(index, device);
    return device;
  }

 private:
  SimUsbEnumerator inner;
  std::set<std::uint8_t> failing;
};

TEST(DeviceSessionCreateTest, OpensTheFirstKeyWithShortPacketTerminationOnEveryPipe) {
  SessionBench bench(SimKeyUsbConfig::WithExtraEndpoints());
  EXPECT_EQ(bench.enumerator.OpenedCount(), 1u);
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_FALSE(bench.Session().KeyEstablished());
  EXPECT_TRUE(bench.Device().InPipeAt(0).shortPacketTerminate);
  EXPECT_TRUE(bench.Device().InPipeAt(1).shortPacketTerminate);

  // A frame that fills its packet reaches the key only when a zero-length packet ends it.
  Bytes response;
  EXPECT_EQ(bench.Send(0x10, false, Bytes(56, 0x5A), response), StatusCode::InvalidCommand);
  ASSERT_EQ(bench.Requests().size(), 1u);
  EXPECT_TRUE(bench.Requests()[0].framed);
  EXPECT_EQ(bench.Requests()[0].length, 56);
}

TEST(DeviceSessionCreateTest, GivesNothingWhenTheKeyDoesNotOpen) {
  FakeTickSource ticks;
  FixedKeySource keys = FixedKeySource::Distinct(1);
  for (const UsbOpenResult result :
       {UsbOpenResult::PathNotFound, UsbOpenResult::AccessDenied, UsbOpenResult::OpenFailed}) {
    SimUsbEnumerator enumerator;
    enumerator.Attach(std::make_shared<SimKey>(), result);
    ASSERT_TRUE(enumerator.Enumerate());
    EXPECT_EQ(DeviceSession::Create(enumerator, ticks, keys), nullptr) << static_cast<int>(result);
  }
  SimUsbEnumerator empty;
  EXPECT_EQ(DeviceSession::Create(empty, ticks, keys), nullptr);
}

TEST(DeviceSessionSyncTest, HaltsAndClearsEveryBulkPipeThenChecksTheKey) {
  SessionBench bench(SimKeyUsbConfig::WithExtraEndpoints());
  ASSERT_TRUE(bench.Session().Synchronize());
  EXPECT_FALSE(bench.Session().IsBroken());

  const KeyControlRecord& first = bench.Key().ControlRequests().front();
  EXPECT_EQ(first.setup.requestType, 0x21);
  EXPECT_EQ(first.setup.request, 0xFF);
  EXPECT_EQ(first.setup.value, 0);
  EXPECT_EQ(first.setup.index, 0);
  EXPECT_EQ(first.setup.length, 0);
  EXPECT_FALSE(first.stalled);
  for (const std::uint8_t endpoint : BulkEndpoints) {
    EXPECT_FALSE(bench.Key().IsHalted(endpoint)) << int{endpoint};
    EXPECT_EQ(bench.Resets(endpoint), 1u) << int{endpoint};
  }
  EXPECT_EQ(bench.Polls(0x83), 0u);  // the interrupt endpoint is not a pipe

  // The check query is the session's first frame, plain, with the SyncCheck selector.
  ASSERT_EQ(bench.Requests().size(), 1u);
  const KeyRequestRecord& check = bench.Requests()[0];
  EXPECT_EQ(check.sequence, 1);
  EXPECT_EQ(check.command, CmdQuery);
  EXPECT_FALSE(check.secure);
  EXPECT_EQ(check.payload, (Bytes{3, 0, 0, 0}));
}

TEST(DeviceSessionSyncTest, DropsTheSessionKeys) {
  SessionBench bench;
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  ASSERT_TRUE(bench.Session().Synchronize());
  EXPECT_FALSE(bench.Session().KeyEstablished());
  EXPECT_FALSE(bench.Requests().back().secure);  // the check query went out plain
  const std::size_t sent = bench.Requests().size();
  EXPECT_EQ(bench.Session().TransactNoData(CmdGetHash, true, 0), StatusCode::NoEstablishedKey);
  EXPECT_EQ(bench.Requests().size(), sent);
}

TEST(DeviceSessionSyncTest, RefusedClassRequestLeavesTheSessionBrokenWithItsKeys) {
  SessionBench bench;
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  bench.Key().UsbFaults().stallClassRequest = true;
  EXPECT_FALSE(bench.Session().Synchronize());
  EXPECT_TRUE(bench.Session().IsBroken());
  EXPECT_TRUE(bench.Session().KeyEstablished());
  EXPECT_EQ(bench.Polls(Out), 0u);

  const unsigned writes = bench.Device().Counts().writes;
  Bytes response;
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 4, response), StatusCode::DeviceError);
  EXPECT_EQ(bench.Session().SendFinal(), StatusCode::DeviceError);
  EXPECT_EQ(bench.Device().Counts().writes, writes);

  // Only a synchronisation that goes through clears the latch.
  bench.Key().UsbFaults().stallClassRequest = false;
  EXPECT_TRUE(bench.Session().Synchronize());
  EXPECT_FALSE(bench.Session().IsBroken());
}

TEST(DeviceSessionSyncTest, PipeThatNeverHaltsFailsAfter3000Milliseconds) {
  for (const std::uint8_t stubborn : {Out, In}) {
    SCOPED_TRACE(int{stubborn});
    SessionBench bench;
    bench.Key().UsbFaults().neverHalt = {stubborn};
    // Each poll of that pipe takes a millisecond; no other request takes any time.
    bench.bus->onControl = [&](const UsbSetupPacket& setup) {
      if (IsPoll(setup, stubborn)) {
        bench.ticks.Advance(1);
      }
    };
    EXPECT_FALSE(bench.Session().Synchronize());
    EXPECT_TRUE(bench.Session().IsBroken());
    EXPECT_EQ(bench.Polls(stubborn), 3001u);  // given up once more than 3000 ms have passed
    EXPECT_EQ(bench.Resets(Out) + bench.Resets(In), 0u);
    EXPECT_TRUE(bench.Requests().empty());
  }
}

TEST(DeviceSessionSyncTest, FailedResetOnAnOutPipeLeavesTheSessionBroken) {
  SessionBench bench(SimKeyUsbConfig::WithExtraEndpoints());
  bench.Key().UsbFaults().refuseClearHalt = {Out};
  bench.ticks.SetStep(1);  // the halt stays, so the resets go on until the deadline
  EXPECT_FALSE(bench.Session().Synchronize());
  EXPECT_TRUE(bench.Session().IsBroken());
  // The failure does not stop the OUT pipes being cleared, but the IN pipes are left alone.
  EXPECT_FALSE(bench.Key().IsHalted(0x02));
  EXPECT_EQ(bench.Resets(In), 0u);
  EXPECT_EQ(bench.Resets(0x82), 0u);
  EXPECT_TRUE(bench.Requests().empty());
}

TEST(DeviceSessionSyncTest, FailedAbortOnAPipe) {
  FakeTickSource ticks;
  FixedKeySource keys = FixedKeySource::Distinct(1);

  const auto outKey = std::make_shared<SimKey>();
  AbortFailingEnumerator outFails(outKey, {Out});
  ASSERT_TRUE(outFails.Enumerate());
  const auto outSession = DeviceSession::Create(outFails, ticks, keys);
  ASSERT_NE(outSession, nullptr);
  EXPECT_FALSE(outSession->Synchronize());
  EXPECT_TRUE(outSession->IsBroken());
  EXPECT_FALSE(outKey->IsHalted(Out));  // the reset after the failed abort still went out
  EXPECT_TRUE(outKey->IsHalted(In));

  const auto inKey = std::make_shared<SimKey>();
  AbortFailingEnumerator inFails(inKey, {In});
  ASSERT_TRUE(inFails.Enumerate());
  const auto inSession = DeviceSession::Create(inFails, ticks, keys);
  ASSERT_NE(inSession, nullptr);
  EXPECT_FALSE(inSession->Synchronize());
  EXPECT_FALSE(inSession->IsBroken());
  EXPECT_FALSE(inKey->IsHalted(In));
  EXPECT_TRUE(inKey->Firmware().Requests().empty());
}

TEST(DeviceSessionSyncTest, FailedResetOnAnInPipeFailsWithTheSessionNotBroken) {
  SessionBench bench(SimKeyUsbConfig::WithExtraEndpoints());
  bench.Key().UsbFaults().refuseClearHalt = {In};
  bench.ticks.SetStep(1);  // the halt stays, so the resets go on until the deadline
  EXPECT_FALSE(bench.Session().Synchronize());
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_FALSE(bench.Key().IsHalted(0x82));  // the IN pipes after it are still cleared
  EXPECT_TRUE(bench.Requests().empty());
}

// Time jumps while the session waits for or clears one pipe; exactly 3000 ms is still in time.
TEST(DeviceSessionSyncTest, DeadlineIsMoreThan3000Milliseconds) {
  struct Stage {
    const char* name;
    bool (*when)(const UsbSetupPacket&, std::uint8_t);
    std::uint8_t endpoint;
    bool brokenOnFailure;
  };
  const Stage stages[] = {{"waiting for the OUT halt", IsPoll, Out, true},
                          {"waiting for the IN halt", IsPoll, In, true},
                          {"clearing the OUT pipe", IsReset, Out, false},
                          {"clearing the IN pipe", IsReset, In, false}};
  for (const Stage& stage : stages) {
    for (const std::uint32_t jump : {3000u, 3001u}) {
      SCOPED_TRACE(std::string(stage.name) + ", " + std::to_string(jump) + " ms");
      SessionBench bench;
      bool jumped = false;
      bench.bus->onControl = [&](const UsbSetupPacket& setup) {
        if (!jumped && stage.when(setup, stage.endpoint)) {
          jumped = true;
          bench.ticks.Advance(jump);
        }
      };
      const bool inTime = jump == 3000;
      EXPECT_EQ(bench.Session().Synchronize(), inTime);
      EXPECT_EQ(bench.Session().IsBroken(), !inTime && stage.brokenOnFailure);
      EXPECT_EQ(bench.Requests().size(), inTime ? 1u : 0u);
    }
  }
}

TEST(DeviceSessionSyncTest, WaitsForHaltsThatShowLate) {
  SessionBench bench(SimKeyUsbConfig::WithExtraEndpoints());
  bench.Key().UsbFaults().haltAfterPolls = 5;
  ASSERT_TRUE(bench.Session().Synchronize());
  // Every bulk endpoint was polled until its halt showed before any was cleared.
  const auto& records = bench.Key().ControlRequests();
  const auto firstReset = std::find_if(records.begin(), records.end(), [](const auto& record) {
    return record.setup.requestType == 0x02 && record.setup.request == 0x01;
  });
  for (const std::uint8_t endpoint : BulkEndpoints) {
    EXPECT_EQ(std::count_if(records.begin(), firstReset,
                            [&](const auto& record) { return IsPoll(record.setup, endpoint); }),
              6)
        << int{endpoint};
  }
}

TEST(DeviceSessionSyncTest, HaltThatSticksIsResetUntil3000MillisecondsWithoutFailing) {
  SessionBench bench(SimKeyUsbConfig::WithExtraEndpoints());
  bench.Key().UsbFaults().haltSticks = {0x82};
  bench.bus->onControl = [&](const UsbSetupPacket& setup) {
    if (IsReset(setup, 0x82)) {
      bench.ticks.Advance(1);
    }
  };
  EXPECT_TRUE(bench.Session().Synchronize());
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_TRUE(bench.Key().IsHalted(0x82));
  EXPECT_EQ(bench.Resets(0x82), 3000u);
}

TEST(DeviceSessionSyncTest, TickCounterWrappingDoesNoHarm) {
  SessionBench bench;
  bench.ticks.Advance(0xFFFFFFFFu - 999);
  bench.Key().UsbFaults().haltAfterPolls = 1000;
  bench.bus->onControl = [&](const UsbSetupPacket&) { bench.ticks.Advance(1); };
  EXPECT_TRUE(bench.Session().Synchronize());
  EXPECT_LT(bench.ticks.Now(), 3000u);  // the counter went past 2^32 on the way

  // Measured across the wrap, 3001 ms are still too many.
  SessionBench late;
  late.ticks.Advance(0xFFFFFFFFu - 999);
  bool jumped = false;
  late.bus->onControl = [&](const UsbSetupPacket& setup) {
    if (!jumped && IsPoll(setup, Out)) {
      jumped = true;
      late.ticks.Advance(3001);
    }
  };
  EXPECT_FALSE(late.Session().Synchronize());
  EXPECT_TRUE(late.Session().IsBroken());
}

TEST(DeviceSessionSyncTest, DeviceWithoutBulkPipesFailsAtTheCheckQuery) {
  SimKeyUsbConfig config;
  config.endpoints = {{0x83, SimEndpointType::Interrupt, 16, 1}};
  SessionBench bench(config);
  EXPECT_FALSE(bench.Session().Synchronize());
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_EQ(bench.Key().ControlRequests().size(), 1u);  // the class request, nothing to poll
  EXPECT_EQ(bench.Device().Counts().writes, 0u);
  std::uint32_t value = 0;
  EXPECT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::DeviceError);
}

TEST(DeviceSessionSyncTest, CheckQueryMustSucceedAndAnswerOne) {
  SessionBench refused;
  refused.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnRequest(1), 3)};
  EXPECT_FALSE(refused.Session().Synchronize());
  EXPECT_FALSE(refused.Session().IsBroken());

  SessionBench two;
  two.Key().Firmware().Faults().checkValue = 2;
  EXPECT_FALSE(two.Session().Synchronize());
  EXPECT_FALSE(two.Session().IsBroken());
  ASSERT_EQ(two.Requests().size(), 1u);
  EXPECT_EQ(two.Requests()[0].status, 0);  // the query itself succeeded

  // An answer that cannot be read latches the session as any such transaction does.
  SessionBench unreadable;
  unreadable.Key().UsbFaults().stallIn = {InStallFault{FaultTrigger::OnRequest(1), 0}};
  EXPECT_FALSE(unreadable.Session().Synchronize());
  EXPECT_TRUE(unreadable.Session().IsBroken());
}

}  // namespace
}  // namespace nevrik
