// The Telnet / COM-PORT-OPTION codec of the network line.
#include "platform/telnet.h"

namespace nev::platform::telnet {

namespace {

// A sub-negotiation longer than this is not one the client reads; the rest of it is skipped.
constexpr std::size_t kMaxSub = 64;

std::string Command(uint8_t verb, uint8_t option) {
  return {static_cast<char>(kIac), static_cast<char>(verb), static_cast<char>(option)};
}

bool OursWanted(uint8_t option) {
  return option == kComPort || option == kBinary;
}

bool TheirsWanted(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead;
}

}  // namespace

std::string Escape(std::string_view data) {
  std::string out;
  out.reserve(data.size() + 2);
  for (const char c : data) {
    out.push_back(c);
    if (static_cast<uint8_t>(c) == kIac) out.push_back(c);
  }
  return out;
}

std::string ComPortCommand(uint8_t command, std::string_view value) {
  std::string out = {static_cast<char>(kIac), static_cast<char>(kSb), static_cast<char>(kComPort),
                     static_cast<char>(command)};
  out += Escape(value);
  out += {static_cast<char>(kIac), static_cast<char>(kSe)};
  return out;
}

std::string Opening() {
  return Command(kWill, kComPort) + Command(kWill, kBinary) + Command(kDo, kBinary) +
         Command(kDo, kSuppressGoAhead);
}

std::string LineSettings(uint32_t baud) {
  const std::string speed = {static_cast<char>(baud >> 24), static_cast<char>(baud >> 16),
                             static_cast<char>(baud >> 8), static_cast<char>(baud)};
  return ComPortCommand(kSetBaudRate, speed) + ComPortCommand(kSetDataSize, "\x08") +
         ComPortCommand(kSetParity, "\x01") + ComPortCommand(kSetStopSize, "\x01");
}

std::string PurgeReceived() {
  return ComPortCommand(kPurgeData, "\x01");
}

// The client has sent Opening(): its own options and the server's it asked for are pending.
Decoder::Decoder() {
  ours_[kComPort] = ours_[kBinary] = Option::kWantYes;
  theirs_[kBinary] = theirs_[kSuppressGoAhead] = Option::kWantYes;
}

void Decoder::Take(std::string_view in, std::string& data, std::string& answer) {
  for (const char ch : in) {
    const auto c = static_cast<uint8_t>(ch);
    switch (state_) {
      case State::kData:
        if (c == kIac) {
          state_ = State::kIac;
        } else {
          data.push_back(ch);
        }
        break;
      case State::kIac:
        state_ = State::kData;
        if (c == kIac) {
          data.push_back(ch);
        } else if (c >= kWill && c <= kDont) {
          verb_ = c;
          state_ = State::kVerb;
        } else if (c == kSb) {
          sub_.clear();
          state_ = State::kSub;
        }
        // Any other command (NOP, GA, a stray SE, ...) carries nothing for the line.
        break;
      case State::kVerb:
        state_ = State::kData;
        Negotiate(verb_, c, answer);
        break;
      case State::kSub:
        if (c == kIac) {
          state_ = State::kSubIac;
        } else if (sub_.size() < kMaxSub) {
          sub_.push_back(ch);
        }
        break;
      case State::kSubIac:
        if (c == kSe) {
          state_ = State::kData;
          EndSub();
        } else {
          // IAC IAC is a 255 of the value; anything else is a broken sub-negotiation, read on.
          state_ = State::kSub;
          if (c == kIac && sub_.size() < kMaxSub) sub_.push_back(ch);
        }
        break;
    }
  }
}

// The client's side of the option negotiation: agrees to what it wants, refuses the rest, and
// answers only a change (a request that confirms the current state gets no answer), so that two
// parties never loop.
void Decoder::Negotiate(uint8_t verb, uint8_t option, std::string& answer) {
  ++negotiations_;
  const bool ask = verb == kDo || verb == kWill;
  const bool ours = verb == kDo || verb == kDont;
  Option& state = ours ? ours_[option] : theirs_[option];
  const bool wanted = ours ? OursWanted(option) : TheirsWanted(option);
  const uint8_t yes = ours ? kWill : kDo;
  const uint8_t no = ours ? kWont : kDont;
  if (ask) {
    if (state == Option::kNo) {
      if (wanted) {
        state = Option::kYes;
        answer += Command(yes, option);
      } else {
        answer += Command(no, option);
      }
    } else {
      state = Option::kYes;
    }
  } else {
    if (state == Option::kYes) answer += Command(no, option);
    state = Option::kNo;
  }
  if (ours && option == kComPort) com_port_ = ask ? Answer::kAgreed : Answer::kRefused;
}

// Of the server's sub-negotiations only its answer to SET-BAUDRATE matters; notifications of
// the line and modem state, and the other answers, are let go.
void Decoder::EndSub() {
  if (sub_.size() == 6 && static_cast<uint8_t>(sub_[0]) == kComPort &&
      static_cast<uint8_t>(sub_[1]) == kServerReply + kSetBaudRate) {
    uint32_t baud = 0;
    for (int i = 2; i < 6; ++i) baud = (baud << 8) | static_cast<uint8_t>(sub_[i]);
    baud_set_ = baud;
  }
  sub_.clear();
}

}  // namespace nev::platform::telnet
