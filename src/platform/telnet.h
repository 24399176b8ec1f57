// Telnet with the COM-PORT-OPTION (RFC 2217), as a serial server's client speaks it: the bytes
// that open the session and set the line, IAC escaping of the data going out, and a decoder that
// takes the server's stream apart into the line's data and what must be answered.
// Portable: no system calls; the network line feeds it and writes what it asks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace nev::platform::telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the command + 100.
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerReply = 100;

// The data with each IAC byte doubled.
std::string Escape(std::string_view data);

// IAC SB COM-PORT-OPTION command value IAC SE, the value escaped.
std::string ComPortCommand(uint8_t command, std::string_view value);

// What the client sends first: it will speak the COM-PORT-OPTION, and asks for binary
// transmission both ways and no go-aheads (a serial line carries any byte, CR included).
std::string Opening();

// The line settings: the speed, 8 data bits, no parity, one stop bit.
std::string LineSettings(uint32_t baud);

// Discard what the server has received from the device and not yet sent on.
std::string PurgeReceived();

class Decoder {
 public:
  Decoder();

  // Takes bytes from the server: appends the line's data to `data` and what the client must
  // send in answer (option negotiation) to `answer`.
  void Take(std::string_view in, std::string& data, std::string& answer);

  // The server agreed to (DO) or refused (DONT) the COM-PORT-OPTION; neither yet: both false.
  bool com_port_agreed() const { return com_port_ == Answer::kAgreed; }
  bool com_port_refused() const { return com_port_ == Answer::kRefused; }
  // The speed the server reported setting in answer to SET-BAUDRATE, once it has.
  std::optional<uint32_t> baud_set() const { return baud_set_; }
  // How many negotiation commands (WILL, WONT, DO, DONT) the server has sent: a server that
  // never stops negotiating is broken.
  int negotiations() const { return negotiations_; }

 private:
  enum class State { kData, kIac, kVerb, kSub, kSubIac };
  enum class Answer { kNone, kAgreed, kRefused };
  // Whether an option is on, asked for, or off; per side (ours: WILL/WONT, the server's: DO/DONT).
  enum class Option : uint8_t { kNo, kWantYes, kYes };

  void Negotiate(uint8_t verb, uint8_t option, std::string& answer);
  void EndSub();

  State state_ = State::kData;
  uint8_t verb_ = 0;
  std::string sub_;  // the sub-negotiation being read, without IAC SB and IAC SE (capped)
  std::array<Option, 256> ours_{};
  std::array<Option, 256> theirs_{};
  Answer com_port_ = Answer::kNone;
  std::optional<uint32_t> baud_set_;
  int negotiations_ = 0;
};

}  // namespace nev::platform::telnet
