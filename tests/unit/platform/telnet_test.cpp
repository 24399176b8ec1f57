// The Telnet / COM-PORT-OPTION codec: what the client sends, and how it reads a server.
#include "platform/telnet.h"

#include <gtest/gtest.h>

#include <string>

namespace telnet = nev::platform::telnet;

namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (const int c : b) s.push_back(static_cast<char>(c));
  return s;
}

constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;

TEST(Telnet, WhatTheClientSends) {
  EXPECT_EQ(telnet::Escape(Bytes({1, 255, 2, 255, 255})),
            Bytes({1, 255, 255, 2, 255, 255, 255, 255}));
  EXPECT_EQ(telnet::Opening(), Bytes({IAC, WILL, 44, IAC, WILL, 0, IAC, DO, 0, IAC, DO, 3}));
  // 115200 = 00 01 C2 00; then 8 data bits, no parity (1), one stop bit (1).
  EXPECT_EQ(telnet::LineSettings(115200),
            Bytes({IAC, SB,  44, 1,  0, 1, 0xC2, 0,  IAC, SE, IAC, SB, 44, 2,   8, IAC,
                   SE,  IAC, SB, 44, 3, 1, IAC,  SE, IAC, SB, 44,  4,  1,  IAC, SE}));
  // A speed holding 0xFF is escaped inside the sub-negotiation.
  EXPECT_EQ(telnet::LineSettings(0xFF).substr(0, 11),
            Bytes({IAC, SB, 44, 1, 0, 0, 0, 255, 255, IAC, SE}));
  EXPECT_EQ(telnet::PurgeReceived(), Bytes({IAC, SB, 44, 12, 1, IAC, SE}));
}

// The server's stream, the line data and the client's answers, whole and cut at every byte.
TEST(Telnet, DecoderSeparatesDataFromNegotiation) {
  struct Row {
    const char* what;
    std::string in, data, answer;
  } rows[] = {
      {"plain data", Bytes({2, 0x25, 3}), Bytes({2, 0x25, 3}), ""},
      {"IAC IAC is a data 0xFF", Bytes({1, IAC, IAC, 2}), Bytes({1, 255, 2}), ""},
      {"commands amid data are dropped", Bytes({2, IAC, 241, 0x30, IAC, 249, 3}),
       Bytes({2, 0x30, 3}), ""},
      {"notifications amid a frame are let go",
       Bytes({2, 0x31, IAC, SB, 44, 107, 0x30, IAC, SE, 0x32, IAC, SB, 44, 106, 0, IAC, SE, 3}),
       Bytes({2, 0x31, 0x32, 3}), ""},
      {"a server's confirmation of a pending option gets no answer",
       Bytes({IAC, DO, 44, IAC, DO, 0, IAC, WILL, 0, IAC, WILL, 3}), "", ""},
      {"unknown options are refused, wanted ones agreed",
       Bytes({IAC, DO, 1, IAC, WILL, 1, IAC, DO, 24}), "",
       Bytes({IAC, WONT, 1, IAC, DONT, 1, IAC, WONT, 24})},
      {"an option turned off is acknowledged once",
       Bytes({IAC, DO, 0, IAC, DONT, 0, IAC, DONT, 0, IAC, DO, 0}), "",
       Bytes({IAC, WONT, 0, IAC, WILL, 0})},
      {"an oversize sub-negotiation swallows only itself",
       Bytes({IAC, SB, 44}) + std::string(200, 'x') + Bytes({IAC, SE, 7}), Bytes({7}), ""},
  };
  for (const Row& row : rows) {
    for (const bool bytewise : {false, true}) {
      telnet::Decoder d;
      std::string data, answer;
      if (bytewise) {
        for (const char c : row.in) d.Take(std::string(1, c), data, answer);
      } else {
        d.Take(row.in, data, answer);
      }
      EXPECT_EQ(data, row.data) << row.what << (bytewise ? " (bytewise)" : "");
      EXPECT_EQ(answer, row.answer) << row.what << (bytewise ? " (bytewise)" : "");
    }
  }
}

TEST(Telnet, DecoderFollowsTheComPortOptionAndTheSpeed) {
  telnet::Decoder d;
  std::string data, answer;
  EXPECT_FALSE(d.com_port_agreed());
  d.Take(Bytes({IAC, DO, 44}), data, answer);
  EXPECT_TRUE(d.com_port_agreed());
  EXPECT_FALSE(d.baud_set());
  // The answer to SET-BAUDRATE (101) with the speed, 0xFF escaped: 0x0001C2FF.
  d.Take(Bytes({IAC, SB, 44, 101, 0, 1, 0xC2, IAC, IAC, IAC, SE}), data, answer);
  ASSERT_TRUE(d.baud_set());
  EXPECT_EQ(*d.baud_set(), 0x0001C2FFu);
  EXPECT_EQ(d.negotiations(), 1);

  telnet::Decoder refused;
  refused.Take(Bytes({IAC, DONT, 44}), data, answer);
  EXPECT_TRUE(refused.com_port_refused());
  EXPECT_TRUE(data.empty());
}

}  // namespace
