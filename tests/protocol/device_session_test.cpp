#include "protocol/device_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "tests/protocol/session_bench.h"

namespace nevrik {
namespace {

using test::Bytes;
using test::Pattern;
using test::SessionBench;
using test::SetupPayload;

const Bytes Untouched{0xEE, 0xEE, 0xEE};
constexpr std::uint32_t UnwrittenValue = 0xDEADBEEF;

// Sequence numbers ------------------------------------------------------------------------------

TEST(DeviceSessionSequenceTest, FirstFrameAfterCreateCarriesOne) {
  SessionBench bench;
  std::uint32_t value = 0;
  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  EXPECT_EQ(value, 1u);
  ASSERT_EQ(bench.Requests().size(), 1u);
  EXPECT_EQ(bench.Requests()[0].sequence, 1);
}

TEST(DeviceSessionSequenceTest, SynchronizeDoesNotResetTheCounter) {
  SessionBench bench;
  ASSERT_TRUE(bench.Session().Synchronize());
  std::uint32_t value = 0;
  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  ASSERT_EQ(bench.Requests().size(), 2u);
  EXPECT_EQ(bench.Requests()[1].sequence, 2);

  ASSERT_TRUE(bench.Session().Synchronize());
  EXPECT_EQ(bench.Requests().back().sequence, 3);
}

TEST(DeviceSessionSequenceTest, ByteWrapsAfter255OnBothSides) {
  SessionBench bench;
  std::uint32_t value = 0;
  for (unsigned frame = 1; frame <= 255; ++frame) {
    // A final frame counts like any other.
    const StatusCode status =
        frame == 100 ? bench.Session().SendFinal() : bench.Session().Query(SyncCheck, value);
    ASSERT_EQ(status, StatusCode::Success) << frame;
  }
  EXPECT_EQ(bench.Requests().back().sequence, 255);

  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);  // frame 256
  EXPECT_EQ(bench.Requests().back().sequence, 0);
  ASSERT_FALSE(bench.bus->InPackets().empty());
  EXPECT_EQ(bench.bus->InPackets().back()[4], 0);  // the key's answer carried it back

  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);  // frame 257
  EXPECT_EQ(bench.Requests().back().sequence, 1);
  EXPECT_EQ(bench.bus->InPackets().back()[4], 1);
  EXPECT_EQ(bench.Requests().size(), 257u);
}

TEST(DeviceSessionSequenceTest, ResponseHeaderCheckLooksAtMagicAndSequenceOnly) {
  SessionBench bench;
  std::uint32_t value = 0;
  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  const std::uint8_t matching[8] = {'N', 'V', 'K', 'W', 1, 0x3F, 0xFF, 0xFF};
  const std::uint8_t behind[8] = {'N', 'V', 'K', 'W', 0, 0, 0, 0};
  const std::uint8_t wrongMagic[8] = {'N', 'V', 'K', 'X', 1, 0, 0, 0};
  EXPECT_TRUE(bench.Session().CheckResponseHeader(matching));
  EXPECT_FALSE(bench.Session().CheckResponseHeader(behind));
  EXPECT_FALSE(bench.Session().CheckResponseHeader(wrongMagic));
}

// Transact: refusals before anything is sent -----------------------------------------------------

TEST(DeviceSessionTransactTest, FrameBufferShorterThanThePayloadIsAHostInternalError) {
  SessionBench bench;
  Bytes response = Untouched;
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 1, response), StatusCode::HostInternalError);
  ASSERT_NE(bench.Session().PreparePayload(100), nullptr);
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 101, response),
            StatusCode::HostInternalError);
  EXPECT_EQ(response, Untouched);
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_EQ(bench.Device().Counts().writes, 0u);

  // Nothing was counted either: the next frame is the first.
  EXPECT_EQ(bench.Session().Transact(0x10, false, 100, response), StatusCode::InvalidCommand);
  EXPECT_EQ(bench.Requests().back().sequence, 1);
}

TEST(DeviceSessionTransactTest, SecureRequestWithoutKeyIsRefusedUnsent) {
  SessionBench bench;
  Bytes response = Untouched;
  ASSERT_NE(bench.Session().PreparePayload(16), nullptr);
  EXPECT_EQ(bench.Session().Transact(CmdWrite, true, 16, response), StatusCode::NoEstablishedKey);
  EXPECT_EQ(bench.Session().TransactNoData(CmdGetHash, true, 0), StatusCode::NoEstablishedKey);
  EXPECT_EQ(response, Untouched);
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_EQ(bench.Device().Counts().writes, 0u);

  std::uint32_t value = 0;
  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  EXPECT_EQ(bench.Requests().back().sequence, 1);
}

TEST(DeviceSessionTransactTest, BrokenSessionRefusesBeforeWriting) {
  SessionBench bench;
  // A status answer longer than one packet whose second packet stalls: the payload read fails.
  bench.Key().UsbFaults().stallIn = {InStallFault{FaultTrigger::OnRequest(1), 1}};
  DeviceStatus record;
  ASSERT_EQ(bench.Session().GetStatus(record), StatusCode::DeviceError);
  ASSERT_TRUE(bench.Session().IsBroken());

  const unsigned writes = bench.Device().Counts().writes;
  Bytes response = Untouched;
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 4, response), StatusCode::DeviceError);
  EXPECT_EQ(bench.Session().TransactNoData(CmdCancelUpdate, false, 0), StatusCode::DeviceError);
  EXPECT_EQ(bench.Session().SendFinal(), StatusCode::DeviceError);
  EXPECT_EQ(response, Untouched);
  EXPECT_EQ(bench.Device().Counts().writes, writes);
  EXPECT_EQ(bench.Requests().size(), 1u);

  // The checks before it still come first, and leave the latch set.
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 5000, response),
            StatusCode::HostInternalError);
  EXPECT_EQ(bench.Session().Transact(CmdQuery, true, 4, response), StatusCode::NoEstablishedKey);
  EXPECT_TRUE(bench.Session().IsBroken());
}

// Transact: transfer failures -------------------------------------------------------------------

TEST(DeviceSessionTransactTest, FailedWriteIsADeviceErrorWithoutLatching) {
  SessionBench bench;
  bench.Key().UsbFaults().stallOutTransfers = {1};
  Bytes response = Untouched;
  ASSERT_NE(bench.Session().PreparePayload(4), nullptr);
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 4, response), StatusCode::DeviceError);
  EXPECT_EQ(response, Untouched);
  EXPECT_FALSE(bench.Session().IsBroken());
  EXPECT_TRUE(bench.Requests().empty());

  bench.Key().UsbFaults().stallOutTransfers = {3};  // after the check query, transfer 2
  ASSERT_TRUE(bench.Session().Synchronize());
  EXPECT_EQ(bench.Session().SendFinal(), StatusCode::DeviceError);
  EXPECT_FALSE(bench.Session().IsBroken());
}

TEST(DeviceSessionTransactTest, FailedHeaderReadLatchesBroken) {
  SessionBench stalled;
  stalled.Key().UsbFaults().stallIn = {InStallFault{FaultTrigger::OnRequest(1), 0}};
  Bytes response = Untouched;
  ASSERT_NE(stalled.Session().PreparePayload(4), nullptr);
  EXPECT_EQ(stalled.Session().Transact(CmdQuery, false, 4, response), StatusCode::DeviceError);
  EXPECT_EQ(response, Untouched);
  EXPECT_TRUE(stalled.Session().IsBroken());

  // No answer at all: the read fails as well.
  SessionBench silent;
  silent.Key().Firmware().Faults().responses = {
      ResponseFault::Of(FaultTrigger::OnRequest(1), ResponseFaultKind::NoResponse)};
  std::uint32_t value = UnwrittenValue;
  EXPECT_EQ(silent.Session().Query(SyncCheck, value), StatusCode::DeviceError);
  EXPECT_EQ(value, UnwrittenValue);
  EXPECT_TRUE(silent.Session().IsBroken());
}

TEST(DeviceSessionTransactTest, HeaderOfSixBytesIsADeviceErrorWithoutLatching) {
  SessionBench bench;
  bench.Key().Firmware().Faults().responses = {
      ResponseFault::Of(FaultTrigger::OnRequest(1), ResponseFaultKind::HeaderOnly)};
  Bytes response = Untouched;
  ASSERT_NE(bench.Session().PreparePayload(4), nullptr);
  EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 4, response), StatusCode::DeviceError);
  EXPECT_EQ(response, Untouched);
  EXPECT_FALSE(bench.Session().IsBroken());

  // The short answer ended its transfer, so the next exchange is in step.
  std::uint32_t value = 0;
  EXPECT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  EXPECT_EQ(value, 1u);
}

TEST(DeviceSessionTransactTest, WrongMagicOrSequenceIsAProtocolError) {
  for (const ResponseFaultKind kind :
       {ResponseFaultKind::WrongMagic, ResponseFaultKind::WrongSequence}) {
    SCOPED_TRACE(static_cast<int>(kind));
    SessionBench bench;
    bench.Key().Firmware().Faults().responses = {
        ResponseFault::Of(FaultTrigger::OnRequest(1), kind)};
    Bytes response = Untouched;
    ASSERT_NE(bench.Session().PreparePayload(4), nullptr);
    EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 4, response), StatusCode::ProtocolError);
    EXPECT_EQ(response, Untouched);
    EXPECT_FALSE(bench.Session().IsBroken());
  }
}

TEST(DeviceSessionTransactTest, FailedOrShortPayloadReadLatchesBroken) {
  // The second packet of the status answer stalls.
  SessionBench stalled;
  stalled.Key().UsbFaults().stallIn = {InStallFault{FaultTrigger::OnRequest(1), 1}};
  DeviceStatus record;
  record.bytes.fill(0xEE);
  EXPECT_EQ(stalled.Session().GetStatus(record), StatusCode::DeviceError);
  EXPECT_TRUE(stalled.Session().IsBroken());
  EXPECT_TRUE(std::all_of(record.bytes.begin(), record.bytes.end(),
                          [](std::uint8_t byte) { return byte == 0xEE; }));

  // The header announces one byte more than follows.
  SessionBench cut;
  cut.Key().Firmware().Faults().responses = {
      ResponseFault::Of(FaultTrigger::OnRequest(1), ResponseFaultKind::ShortPayload)};
  std::uint32_t value = UnwrittenValue;
  EXPECT_EQ(cut.Session().Query(SyncCheck, value), StatusCode::DeviceError);
  EXPECT_EQ(value, UnwrittenValue);
  EXPECT_TRUE(cut.Session().IsBroken());
  const unsigned writes = cut.Device().Counts().writes;
  Bytes response;
  EXPECT_EQ(cut.Session().Transact(CmdQuery, false, 4, response), StatusCode::DeviceError);
  EXPECT_EQ(cut.Device().Counts().writes, writes);
}

// Transact: answers -----------------------------------------------------------------------------

TEST(DeviceSessionTransactTest, DeviceStatusIsMappedAndItsPayloadKeptAsReceived) {
  struct Case {
    std::uint8_t deviceStatus;
    StatusCode expected;
  };
  const Case cases[] = {{5, StatusCode::NoEstablishedKey},
                        {0x43, StatusCode::Busy},  // bit 6 plays no part
                        {4, StatusCode::HostInternalError},
                        {15, StatusCode::IncorrectPin},
                        {63, StatusCode::DeviceInternalError}};
  const Bytes payload = Pattern(10, 0x30);
  for (const Case& c : cases) {
    SCOPED_TRACE(int{c.deviceStatus});
    SessionBench bench;
    bench.Key().Firmware().Faults().responses = {
        ResponseFault::Status(FaultTrigger::OnRequest(1), c.deviceStatus, false, payload)};
    Bytes response = Untouched;
    ASSERT_NE(bench.Session().PreparePayload(4), nullptr);
    EXPECT_EQ(bench.Session().Transact(CmdQuery, false, 4, response), c.expected);
    EXPECT_EQ(response, payload);
    EXPECT_FALSE(bench.Session().IsBroken());
  }
}

TEST(DeviceSessionTransactTest, ErrorAnswerToASecureRequestIsNotDeciphered) {
  SessionBench bench;
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  const Bytes payload = Pattern(10, 0x60);
  bench.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(CmdQuery, 1), 6, true, payload)};
  Bytes response;
  ASSERT_NE(bench.Session().PreparePayload(4), nullptr);
  EXPECT_EQ(bench.Session().Transact(CmdQuery, true, 4, response), StatusCode::BadParameter);
  EXPECT_EQ(response, payload);
  EXPECT_TRUE(bench.Session().KeyEstablished());
}

TEST(DeviceSessionTransactTest, EmptyAnswerEmptiesTheResponseAndReadsNoPayload) {
  SessionBench bench;
  Bytes response = Untouched;
  ASSERT_NE(bench.Session().PreparePayload(0), nullptr);
  EXPECT_EQ(bench.Session().Transact(CmdCancelUpdate, false, 0, response), StatusCode::Success);
  EXPECT_TRUE(response.empty());
  EXPECT_EQ(bench.Device().Counts().rawReads, 1u);  // the header's packet only
  EXPECT_EQ(bench.Device().Counts().blockedReads, 0u);
  ASSERT_EQ(bench.Requests().size(), 1u);
  EXPECT_EQ(bench.Requests()[0].transfer.size(), 8u);
}

TEST(DeviceSessionTransactTest, SecureAnswerWithoutKeysIsRefused) {
  const Bytes payload{1, 0, 0, 0};
  SessionBench fresh;
  fresh.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnRequest(1), 0, true, payload)};
  Bytes response;
  ASSERT_NE(fresh.Session().PreparePayload(4), nullptr);
  EXPECT_EQ(fresh.Session().Transact(CmdQuery, false, 4, response), StatusCode::ProtocolError);
  EXPECT_EQ(response, payload);  // as received: nothing deciphered it
  EXPECT_FALSE(fresh.Session().IsBroken());

  // The same after synchronisation has dropped the keys of a handshake.
  SessionBench dropped;
  ASSERT_EQ(dropped.Session().EstablishSecureMessaging(), StatusCode::Success);
  ASSERT_TRUE(dropped.Session().Synchronize());
  dropped.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(CmdQuery, 1), 0, true, payload)};
  std::uint32_t value = UnwrittenValue;
  EXPECT_EQ(dropped.Session().Query(SyncCheck, value), StatusCode::ProtocolError);
  EXPECT_EQ(value, UnwrittenValue);
}

// TransactNoData, SendFinal, Query, GetStatus ---------------------------------------------------

TEST(DeviceSessionTransactTest, TransactNoDataWantsAnEmptyAnswer) {
  SessionBench bench;
  EXPECT_EQ(bench.Session().TransactNoData(CmdCancelUpdate, false, 0), StatusCode::Success);

  bench.Key().Firmware().Faults().responses = {
      ResponseFault::PayloadSize(FaultTrigger::OnRequest(2), 1)};
  EXPECT_EQ(bench.Session().TransactNoData(CmdCancelUpdate, false, 0), StatusCode::ProtocolError);
  EXPECT_FALSE(bench.Session().IsBroken());

  bench.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnRequest(3), 8, false, Bytes{1, 2})};
  EXPECT_EQ(bench.Session().TransactNoData(CmdCancelUpdate, false, 0), StatusCode::OperationDenied);
}

TEST(DeviceSessionTransactTest, SecurePayloadFromOutsideMeetsTheSameRefusals) {
  SessionBench bench;
  const Bytes chunk = Pattern(16);
  EXPECT_EQ(bench.Session().TransactSecureNoData(CmdWrite, chunk), StatusCode::HostInternalError);
  ASSERT_NE(bench.Session().PreparePayload(16), nullptr);
  EXPECT_EQ(bench.Session().TransactSecureNoData(CmdWrite, chunk), StatusCode::NoEstablishedKey);
  EXPECT_EQ(bench.Device().Counts().writes, 0u);

  ASSERT_TRUE(bench.Session().Synchronize());
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  const Bytes tooLarge(65536, 0);
  EXPECT_EQ(bench.Session().TransactSecureNoData(CmdWrite, tooLarge),
            StatusCode::HostInternalError);
  ASSERT_EQ(bench.SendNoData(CmdSetup, true, SetupPayload(16)), StatusCode::Success);
  const auto next = static_cast<unsigned>(bench.Requests().size() + 1);
  bench.Key().Firmware().Faults().responses = {
      ResponseFault::PayloadSize(FaultTrigger::OnRequest(next), 1)};
  ASSERT_NE(bench.Session().PreparePayload(16), nullptr);
  EXPECT_EQ(bench.Session().TransactSecureNoData(CmdWrite, chunk), StatusCode::ProtocolError);
  EXPECT_TRUE(bench.Requests().back().deciphered);
}

TEST(DeviceSessionTransactTest, SendFinalWritesAPlainHeaderAndReadsNothing) {
  SessionBench bench;
  ASSERT_TRUE(bench.Session().Synchronize());
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  const unsigned rawReads = bench.Device().Counts().rawReads;
  ASSERT_NE(bench.Session().PreparePayload(300), nullptr);  // a payload in place changes nothing

  EXPECT_EQ(bench.Session().SendFinal(), StatusCode::Success);
  ASSERT_EQ(bench.Requests().size(), 3u);
  EXPECT_EQ(bench.Requests()[2].transfer, (Bytes{'N', 'V', 'K', 'W', 3, 0x21, 0, 0}));
  EXPECT_EQ(bench.Device().Counts().rawReads, rawReads);
  EXPECT_EQ(bench.Key().PendingInPackets(), 0u);

  std::uint32_t value = 0;
  EXPECT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  EXPECT_EQ(bench.Requests().back().sequence, 4);
}

TEST(DeviceSessionQueryTest, AnswersTheKeysValuesAndRecord) {
  SessionBench bench;
  std::uint32_t value = 0;
  bench.Key().Firmware().Faults().checkValue = 0x01020304;
  ASSERT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Success);
  EXPECT_EQ(value, 0x01020304u);
  EXPECT_EQ(bench.Requests().back().payload, (Bytes{3, 0, 0, 0}));

  SimKeyFirmwareConfig state;
  state.soPin = Bytes{'1', '2', '3', '4'};
  state.firmwareMajor = 1;
  state.firmwareMinor = 9;
  SessionBench withPin({}, state);
  DeviceStatus record;
  ASSERT_EQ(withPin.Session().GetStatus(record), StatusCode::Success);
  EXPECT_EQ(withPin.Requests().back().payload, (Bytes{16, 0, 0, 0}));
  const auto expected = withPin.Key().Firmware().StatusRecord();
  EXPECT_TRUE(std::equal(record.bytes.begin(), record.bytes.end(), expected.begin()));
  EXPECT_EQ(record.Flags() & DeviceStatus::SoPinSet, DeviceStatus::SoPinSet);
  EXPECT_EQ(record.FirmwareMajor(), 1);
  EXPECT_EQ(record.FirmwareMinor(), 9);
}

TEST(DeviceSessionQueryTest, AnswerOfTheWrongSizeLeavesTheOutputUnwritten) {
  for (const std::size_t size : {0u, 3u, 5u}) {
    SCOPED_TRACE(size);
    SessionBench bench;
    bench.Key().Firmware().Faults().responses = {
        ResponseFault::PayloadSize(FaultTrigger::OnRequest(1), size)};
    std::uint32_t value = UnwrittenValue;
    EXPECT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::ProtocolError);
    EXPECT_EQ(value, UnwrittenValue);
    EXPECT_FALSE(bench.Session().IsBroken());
  }
  for (const std::size_t size : {107u, 109u}) {
    SCOPED_TRACE(size);
    SessionBench bench;
    bench.Key().Firmware().Faults().responses = {
        ResponseFault::PayloadSize(FaultTrigger::OnCommand(CmdQuery, 1), size)};
    DeviceStatus record;
    record.bytes.fill(0xEE);
    EXPECT_EQ(bench.Session().GetStatus(record), StatusCode::ProtocolError);
    EXPECT_TRUE(std::all_of(record.bytes.begin(), record.bytes.end(),
                            [](std::uint8_t byte) { return byte == 0xEE; }));
    EXPECT_FALSE(bench.Session().IsBroken());
  }
}

TEST(DeviceSessionQueryTest, DeviceStatusIsReturnedUnchangedAndTheOutputUnwritten) {
  SessionBench bench;
  bench.Key().Firmware().Faults().responses = {
      ResponseFault::Status(FaultTrigger::OnCommand(CmdQuery), 3)};
  std::uint32_t value = UnwrittenValue;
  EXPECT_EQ(bench.Session().Query(SyncCheck, value), StatusCode::Busy);
  EXPECT_EQ(value, UnwrittenValue);
  DeviceStatus record;
  record.bytes.fill(0xEE);
  EXPECT_EQ(bench.Session().GetStatus(record), StatusCode::Busy);
  EXPECT_EQ(record.bytes[0], 0xEE);
}

// The frame buffer ------------------------------------------------------------------------------

TEST(DeviceSessionPayloadTest, GrowsToTheLargestPayloadAndNoFurther) {
  SessionBench bench;
  std::uint8_t* area = bench.Session().PreparePayload(65535);
  ASSERT_NE(area, nullptr);
  EXPECT_TRUE(std::all_of(area, area + 65535, [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(bench.Session().PreparePayload(65536), nullptr);

  // 65543 bytes: a whole 65535-byte payload fits behind the header, one byte more does not.
  Bytes response;
  EXPECT_EQ(bench.Session().Transact(0x10, false, 65536, response), StatusCode::HostInternalError);
  EXPECT_EQ(bench.Session().Transact(0x10, false, 65535, response), StatusCode::InvalidCommand);
  ASSERT_EQ(bench.Requests().size(), 1u);
  EXPECT_TRUE(bench.Requests()[0].framed);
  EXPECT_EQ(bench.Requests()[0].length, 65535);
}

TEST(DeviceSessionPayloadTest, RefusedSizeLeavesTheBufferAsItWas) {
  SessionBench bench;
  std::uint8_t* area = bench.Session().PreparePayload(100);
  ASSERT_NE(area, nullptr);
  std::fill(area, area + 100, 0x77);
  EXPECT_EQ(bench.Session().PreparePayload(65536), nullptr);

  Bytes response;
  EXPECT_EQ(bench.Session().Transact(0x10, false, 101, response), StatusCode::HostInternalError);
  EXPECT_EQ(bench.Session().Transact(0x10, false, 100, response), StatusCode::InvalidCommand);
  EXPECT_EQ(bench.Requests()[0].payload, Bytes(100, 0x77));

  // Growing keeps what was placed and zeroes only the new bytes; a smaller size keeps it all.
  area = bench.Session().PreparePayload(120);
  EXPECT_TRUE(std::all_of(area, area + 100, [](std::uint8_t byte) { return byte == 0x77; }));
  EXPECT_TRUE(std::all_of(area + 100, area + 120, [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(bench.Session().PreparePayload(4), area);
  EXPECT_EQ(bench.Session().Transact(0x10, false, 120, response), StatusCode::InvalidCommand);
}

TEST(DeviceSessionPayloadTest, FrameBufferIsReusedAcrossSecureWrites) {
  SessionBench bench;
  ASSERT_TRUE(bench.Session().Synchronize());
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  constexpr std::uint32_t Chunk = 8192;
  constexpr unsigned Chunks = 8;
  ASSERT_EQ(bench.SendNoData(CmdSetup, true, SetupPayload(Chunk * Chunks)), StatusCode::Success);

  std::uint8_t* const first = bench.Session().PreparePayload(Chunk);
  ASSERT_NE(first, nullptr);
  Bytes image;
  for (unsigned i = 0; i < Chunks; ++i) {
    std::uint8_t* area = bench.Session().PreparePayload(Chunk);
    EXPECT_EQ(area, first) << i;
    const Bytes chunk = Pattern(Chunk, static_cast<std::uint8_t>(i));
    std::copy(chunk.begin(), chunk.end(), area);
    ASSERT_EQ(bench.Session().TransactNoData(CmdWrite, true, Chunk), StatusCode::Success) << i;
    // The payload was enciphered in place: the area holds what went out.
    const Bytes& sent = bench.Requests().back().transfer;
    EXPECT_TRUE(std::equal(area, area + Chunk, sent.begin() + 8));
    EXPECT_FALSE(std::equal(area, area + Chunk, chunk.begin()));
    image.insert(image.end(), chunk.begin(), chunk.end());

    // Queries in between use the same buffer.
    DeviceStatus record;
    ASSERT_EQ(bench.Session().GetStatus(record), StatusCode::Success);
    EXPECT_EQ(bench.Session().PreparePayload(4), first);
  }
  ASSERT_TRUE(bench.Key().Firmware().Update().has_value());
  EXPECT_EQ(bench.Key().Firmware().Update()->image, image);
}

TEST(DeviceSessionPayloadTest, SecurePayloadFromOutsideIsEncipheredStraightIntoTheFrame) {
  SessionBench bench;
  ASSERT_TRUE(bench.Session().Synchronize());
  ASSERT_EQ(bench.Session().EstablishSecureMessaging(), StatusCode::Success);
  constexpr std::uint32_t Chunk = 8192;
  const Bytes image = Pattern(Chunk + 100, 3);
  ASSERT_EQ(bench.SendNoData(CmdSetup, true, SetupPayload(Chunk + 100)), StatusCode::Success);

  for (std::size_t offset = 0; offset < image.size(); offset += Chunk) {
    const auto chunk =
        std::span(image).subspan(offset, std::min<std::size_t>(Chunk, image.size() - offset));
    std::uint8_t* area = bench.Session().PreparePayload(static_cast<std::uint32_t>(chunk.size()));
    ASSERT_NE(area, nullptr);
    ASSERT_EQ(bench.Session().TransactSecureNoData(CmdWrite, chunk), StatusCode::Success);
    const KeyRequestRecord& write = bench.Requests().back();
    EXPECT_TRUE(write.secure);
    EXPECT_TRUE(write.deciphered);
    EXPECT_TRUE(std::equal(chunk.begin(), chunk.end(), write.payload.begin(), write.payload.end()));
    // The frame holds what went out; the source is left as it was.
    EXPECT_TRUE(std::equal(area, area + chunk.size(), write.transfer.begin() + 8));
  }
  EXPECT_EQ(image, Pattern(Chunk + 100, 3));
  ASSERT_TRUE(bench.Key().Firmware().Update().has_value());
  EXPECT_EQ(bench.Key().Firmware().Update()->image, image);
}

}  // namespace
}  // namespace nevrik
