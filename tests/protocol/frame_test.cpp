#include "protocol/frame.h"

#include <array>
#include <cstdint>

#include <gtest/gtest.h>

namespace nevrik {
namespace {

using HeaderArray = std::array<std::uint8_t, FrameHeaderSize>;

HeaderArray RequestHeader(std::uint32_t sequenceCounter, std::uint8_t command, bool secure,
                          std::uint16_t length) {
  HeaderArray bytes;
  bytes.fill(0xEE);
  EncodeRequestHeader(bytes, sequenceCounter, command, secure, length);
  return bytes;
}

HeaderArray ResponseHeader(std::uint8_t sequence, std::uint8_t status, std::uint16_t length) {
  HeaderArray bytes;
  FrameHeader header;
  header.sequence = sequence;
  header.code = status;
  header.length = length;
  EncodeFrameHeader(header, bytes);
  return bytes;
}

TEST(RequestHeader, SecureWriteWithThreeHundredBytes) {
  const HeaderArray expected = {'N', 'V', 'K', 'W', 0x07, 0xA3, 0x2C, 0x01};
  EXPECT_EQ(RequestHeader(7, CmdWrite, true, 300), expected);
}

TEST(RequestHeader, FinalFrameIsPlainWithoutPayload) {
  const HeaderArray expected = {'N', 'V', 'K', 'W', 0x02, 0x21, 0x00, 0x00};
  EXPECT_EQ(RequestHeader(2, CmdFinal, false, 0), expected);
}

TEST(RequestHeader, SecureBitOnlyWhenAsked) {
  EXPECT_EQ(RequestHeader(1, CmdQuery, false, 4)[5], 0x03);
  EXPECT_EQ(RequestHeader(1, CmdQuery, true, 4)[5], 0x83);
  EXPECT_EQ(RequestHeader(1, CmdSetup, true, 0)[5], 0xA0);  // secure even without payload
}

TEST(RequestHeader, CommandIsTruncatedToSixBits) {
  EXPECT_EQ(RequestHeader(1, 0x63, false, 0)[5], 0x23);
  EXPECT_EQ(RequestHeader(1, 0x63, true, 0)[5], 0xA3);
  EXPECT_EQ(RequestHeader(1, 0xFF, false, 0)[5], 0x3F);
  EXPECT_EQ(RequestHeader(1, 0xC4, false, 0)[5], 0x04);
}

TEST(RequestHeader, OnlyTheLowByteOfTheCounterTravels) {
  EXPECT_EQ(RequestHeader(255, CmdQuery, false, 4)[4], 255);
  EXPECT_EQ(RequestHeader(256, CmdQuery, false, 4)[4], 0);
  EXPECT_EQ(RequestHeader(257, CmdQuery, false, 4)[4], 1);
  EXPECT_EQ(RequestHeader(0xFFFFFFFF, CmdQuery, false, 4)[4], 0xFF);
}

TEST(RequestHeader, LengthIsLittleEndian) {
  const HeaderArray largest = RequestHeader(1, CmdWrite, true, 65535);
  EXPECT_EQ(largest[6], 0xFF);
  EXPECT_EQ(largest[7], 0xFF);
  const HeaderArray eightKiB = RequestHeader(1, CmdWrite, true, 8192);
  EXPECT_EQ(eightKiB[6], 0x00);
  EXPECT_EQ(eightKiB[7], 0x20);
}

TEST(FrameHeader, DecodesEveryField) {
  const HeaderArray bytes = {'N', 'V', 'K', 'W', 0x9C, 0xC3, 0x2C, 0x01};
  const FrameHeader header = DecodeFrameHeader(bytes);
  EXPECT_EQ(header.magic, FrameMagic);
  EXPECT_EQ(header.sequence, 0x9C);
  EXPECT_EQ(header.code, 0xC3);
  EXPECT_EQ(header.length, 300);
  EXPECT_TRUE(header.IsSecure());
  EXPECT_EQ(header.StatusNumber(), 3);  // bit 6 is no part of the status

  const FrameHeader plain = DecodeFrameHeader(ResponseHeader(1, 0x05, 0));
  EXPECT_FALSE(plain.IsSecure());
  EXPECT_EQ(plain.StatusNumber(), 5);
}

TEST(FrameHeader, EncodeAndDecodeAgree) {
  FrameHeader header;
  header.magic = 0x01020304;
  header.sequence = 0xFE;
  header.code = 0x81;
  header.length = 0xBEEF;
  HeaderArray bytes;
  EncodeFrameHeader(header, bytes);
  const HeaderArray expected = {0x04, 0x03, 0x02, 0x01, 0xFE, 0x81, 0xEF, 0xBE};
  EXPECT_EQ(bytes, expected);
  const FrameHeader decoded = DecodeFrameHeader(bytes);
  EXPECT_EQ(decoded.magic, header.magic);
  EXPECT_EQ(decoded.sequence, header.sequence);
  EXPECT_EQ(decoded.code, header.code);
  EXPECT_EQ(decoded.length, header.length);
}

TEST(CheckResponseHeader, AcceptsTheMatchingSequenceWhateverStatusAndLength) {
  EXPECT_TRUE(CheckResponseHeader(ResponseHeader(5, 0x00, 0), 5));
  EXPECT_TRUE(CheckResponseHeader(ResponseHeader(5, 0xFF, 65535), 5));
  EXPECT_TRUE(CheckResponseHeader(ResponseHeader(0x34, 0x80, 97), 0x1234));
}

TEST(CheckResponseHeader, SequenceWrapsAtTwoHundredFiftySix) {
  EXPECT_TRUE(CheckResponseHeader(ResponseHeader(0, 0, 0), 256));
  EXPECT_FALSE(CheckResponseHeader(ResponseHeader(255, 0, 0), 256));
  EXPECT_TRUE(CheckResponseHeader(ResponseHeader(255, 0, 0), 255));
}

TEST(CheckResponseHeader, RejectsAResponseOneSequenceBehind) {
  EXPECT_FALSE(CheckResponseHeader(ResponseHeader(4, 0, 0), 5));
  EXPECT_FALSE(CheckResponseHeader(ResponseHeader(6, 0, 0), 5));
}

TEST(CheckResponseHeader, RejectsAWrongMagicInAnyByte) {
  for (std::size_t index = 0; index < 4; ++index) {
    HeaderArray bytes = ResponseHeader(9, 0, 0);
    bytes[index] ^= 0x20;  // e.g. "nVKW"
    EXPECT_FALSE(CheckResponseHeader(bytes, 9)) << "byte " << index;
  }
  const HeaderArray reversed = {'W', 'K', 'V', 'N', 9, 0, 0, 0};
  EXPECT_FALSE(CheckResponseHeader(reversed, 9));
}

}  // namespace
}  // namespace nevrik
