// The frame codec from byte vectors.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "nev/error.h"
#include "protocol/commands.h"
#include "support/helpers.h"

namespace nev::protocol {
namespace {

using nevtest::Bytes;

TEST(FrameTest, WorkedFramesByteForByte) {
  uint8_t counter = 0;
  EXPECT_EQ(BuildFrame(counter, Code(Command::kPaperFeed), "03"),
            Bytes("02 20 21 8F 22 30 33 35 35 03"));
  counter = 0;
  EXPECT_EQ(BuildFrame(counter, Code(Command::kProbe), ""), Bytes("02 20 21 FF 20 36 30 03"));
  EXPECT_EQ(BuildFrame(counter, Code(Command::kGetStatus), ""), Bytes("02 21 21 A1 20 30 33 03"));
  counter = 0;
  EXPECT_EQ(BuildFrame(counter, Code(Command::kFiscText), "abc"),
            Bytes("02 20 21 85 23 61 62 63 30 3F 03"));
}

TEST(FrameTest, SequenceRunsFrom0x20To0xFFAndWraps) {
  std::string expected, sent;
  for (int v = 0x20; v <= 0xFF; ++v) expected += static_cast<char>(v);
  expected += '\x20';
  uint8_t counter = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) sent += NextSequence(counter);
  EXPECT_EQ(sent, expected);
  counter = 0x05;  // values below 0x20 are lifted, never sent
  EXPECT_EQ(NextSequence(counter), '\x20');
}

TEST(FrameTest, ChecksumIsDigitNibblesOfTheSumModulo256) {
  EXPECT_EQ(FrameChecksum("\x0F"), "0?");
  EXPECT_EQ(FrameChecksum("PP"), ":0");  // 0xA0
  EXPECT_EQ(FrameChecksum(""), "00");
  // A wide sum of upper-half bytes: 0x21 + 226 x 0xFF = 0xE13F.
  EXPECT_EQ(FrameChecksum("\xFF\x21\xFF\xFF" + std::string(223, '\xFF')), "3?");
}

TEST(FrameTest, DataLengthLimits) {
  uint8_t counter = 0;
  const std::string full = BuildFrame(counter, Code(Command::kPaperFeed), std::string(223, 'a'));
  EXPECT_EQ(full.size(), 231u);
  EXPECT_EQ(static_cast<unsigned char>(full[4]), 0xFF);

  // Upper-half bytes never overflow the checksum: a whole frame of Cyrillic letters builds.
  const std::string cyrillic =
      BuildFrame(counter, Code(Command::kPaperFeed), std::string(223, '\xFF'));
  EXPECT_EQ(cyrillic.size(), 231u);
  EXPECT_EQ(cyrillic.back(), ETX);

  // One byte too many fails with error 5, and the sequence value is spent all the same.
  counter = 0x30;
  try {
    BuildFrame(counter, Code(Command::kPaperFeed), std::string(224, 'a'));
    FAIL() << "224 data bytes built a frame";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), kErrInvalidArgument);
    EXPECT_EQ(e.record().source, "NEVComServer");
  }
  EXPECT_EQ(counter, 0x31);
}

TEST(FrameTest, GetFieldSplitsAtTabs) {
  const std::string abc = "a\tb\tc";
  EXPECT_EQ(GetField(abc, 1), "a");
  EXPECT_EQ(GetField(abc, 2), "b");
  for (int beyond : {3, 5, 0, -1, INT16_MIN}) EXPECT_EQ(GetField(abc, beyond), "c") << beyond;

  EXPECT_EQ(GetField("whole text", 1), "whole text");
  EXPECT_EQ(GetField("whole text", 7), "whole text");
  EXPECT_EQ(GetField("a\t\tc", 2), "");
  EXPECT_EQ(GetField("a\tb\t", 2), "b");
  EXPECT_EQ(GetField("a\tb\t", 3), "");
  EXPECT_EQ(GetField("", 1), "");
}

TEST(FrameTest, ParseReplyTakesTheDataAndTheStatusBytesByTheirPlaces) {
  // STX SEQ 21 CMD LEN(0x20 + 3) "1\t2" status 80 88 80, check characters, ETX.
  const std::string reply = Bytes("02 25 21 84 23 31 09 32 80 88 80 3F 3A 03");
  ParsedReply parsed = ParseReply(reply, true);
  EXPECT_EQ(parsed.data, "1\t2");
  ASSERT_TRUE(parsed.status.has_value());
  EXPECT_EQ(*parsed.status, (std::array<uint8_t, 3>{0x80, 0x88, 0x80}));
  // A length byte larger than the reply takes what there is; one below 0x20 takes nothing.
  parsed = ParseReply(Bytes("02 25 21 84 2A 31 32 03"), false);
  EXPECT_EQ(parsed.data, "12\x03");
  EXPECT_FALSE(parsed.status.has_value());
  EXPECT_EQ(ParseReply(Bytes("02 25 21 84 1F 31 80 80 80 30 30 03"), true).data, "");
  // Too short for a header: nothing at all.
  EXPECT_EQ(ParseReply(Bytes("02 25"), false).data, "");
}

}  // namespace
}  // namespace nev::protocol
