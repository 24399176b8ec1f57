// The driver's command codes by name in tests, printed by name when an expectation fails.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ostream>
#include <string>

#include "protocol/commands.h"

namespace nevtest {

using nev::protocol::Code;
using nev::protocol::Command;

// A command code as nev-sim's options and trace write it: "0x8E".
inline std::string HexCode(Command command) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", Code(command));
  return text;
}

// How many of the frames a simulator recorded carry this command code.
template <class Simulator>
std::size_t FramesOf(const Simulator& sim, Command command) {
  std::size_t n = 0;
  for (const auto& frame : sim.Frames()) n += frame.cmd == Code(command);
  return n;
}

}  // namespace nevtest

namespace nev::protocol {

// Found by gtest through the argument's namespace: "OpenDraw (0x8E)".
inline void PrintTo(Command command, std::ostream* os) {
  *os << CommandName(Code(command)) << " (" << nevtest::HexCode(command) << ")";
}

}  // namespace nev::protocol
