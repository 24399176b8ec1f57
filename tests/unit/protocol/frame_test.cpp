// The frame codec from byte vectors.
#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "nev/error.h"

namespace nev::protocol {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

TEST(FrameTest, WorkedFramesByteForByte) {
  uint8_t counter = 0;
  EXPECT_EQ(BuildFrame(counter, 0x8F, "03"),
            Bytes({0x02, 0x20, 0x21, 0x8F, 0x22, 0x30, 0x33, 0x35, 0x35, 0x03}));
  counter = 0;
  EXPECT_EQ(BuildFrame(counter, 0xFF, ""), Bytes({0x02, 0x20, 0x21, 0xFF, 0x20, 0x36, 0x30, 0x03}));
  EXPECT_EQ(BuildFrame(counter, 0xA1, ""), Bytes({0x02, 0x21, 0x21, 0xA1, 0x20, 0x30, 0x33, 0x03}));
  counter = 0;
  EXPECT_EQ(BuildFrame(counter, 0x85, "abc"),
            Bytes({0x02, 0x20, 0x21, 0x85, 0x23, 0x61, 0x62, 0x63, 0x30, 0x3F, 0x03}));
}

TEST(FrameTest, SequenceRunsFrom0x20To0xFFAndWraps) {
  uint8_t counter = 0;
  EXPECT_EQ(NextSequence(counter), '\x20');
  EXPECT_EQ(NextSequence(counter), '\x21');
  EXPECT_EQ(NextSequence(counter), '\x22');

  counter = 0xFF;
  EXPECT_EQ(NextSequence(counter), '\xFF');
  EXPECT_EQ(NextSequence(counter), '\x20');

  counter = 0x05;  // values below 0x20 are lifted, never sent
  EXPECT_EQ(NextSequence(counter), '\x20');

  counter = 0;
  std::set<unsigned char> seen;
  for (int i = 0; i < 224; ++i) seen.insert(static_cast<unsigned char>(NextSequence(counter)));
  EXPECT_EQ(seen.size(), 224u);
  EXPECT_EQ(*seen.begin(), 0x20);
  EXPECT_EQ(static_cast<unsigned char>(NextSequence(counter)), 0x20);
}

TEST(FrameTest, ChecksumIsDigitNibblesOfTheSumModulo256) {
  EXPECT_EQ(FrameChecksum(Bytes({0x0F})), "0?");
  EXPECT_EQ(FrameChecksum(Bytes({0x50, 0x50})), ":0");  // 0xA0
  EXPECT_EQ(FrameChecksum(""), "00");
  // A wide sum: 223 bytes of 0xFF and a full header sum to far more than 16 bits allow.
  std::string body = Bytes({0xFF, 0x21, 0xFF, 0xFF}) + std::string(223, '\xFF');
  unsigned sum = 0;
  for (char c : body) sum += static_cast<unsigned char>(c);
  const unsigned c = sum % 256;
  EXPECT_EQ(FrameChecksum(body), std::string({NibbleChar(c / 16), NibbleChar(c % 16)}));
}

TEST(FrameTest, DataLengthLimits) {
  uint8_t counter = 0;
  const std::string empty = BuildFrame(counter, 0x8F, "");
  EXPECT_EQ(empty.size(), 8u);
  EXPECT_EQ(empty[4], '\x20');

  const std::string full = BuildFrame(counter, 0x8F, std::string(223, 'a'));
  EXPECT_EQ(full.size(), 231u);
  EXPECT_EQ(static_cast<unsigned char>(full[4]), 0xFF);

  // Upper-half bytes never overflow the checksum: a whole frame of Cyrillic letters builds.
  const std::string cyrillic = BuildFrame(counter, 0x8F, std::string(223, '\xFF'));
  EXPECT_EQ(cyrillic.size(), 231u);
  EXPECT_EQ(cyrillic.back(), ETX);

  // One byte too many fails with error 5, and the sequence value is spent all the same.
  counter = 0x30;
  try {
    BuildFrame(counter, 0x8F, std::string(224, 'a'));
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
  EXPECT_EQ(GetField(abc, 3), "c");
  EXPECT_EQ(GetField(abc, 5), "c");  // beyond the last field: the last field
  EXPECT_EQ(GetField(abc, 0), "c");
  EXPECT_EQ(GetField(abc, -1), "c");
  EXPECT_EQ(GetField(abc, INT16_MIN), "c");

  EXPECT_EQ(GetField("whole text", 1), "whole text");
  EXPECT_EQ(GetField("whole text", 7), "whole text");
  EXPECT_EQ(GetField("a\t\tc", 2), "");
  EXPECT_EQ(GetField("a\tb\t", 2), "b");
  EXPECT_EQ(GetField("a\tb\t", 3), "");
  EXPECT_EQ(GetField("", 1), "");
}

}  // namespace
}  // namespace nev::protocol
