// The driver's command codes by name in tests, printed by name when an expectation fails.
#pragma once

#include <cstdio>
#include <ostream>

#include "protocol/commands.h"

namespace nev::protocol {

// Found by gtest through the argument's namespace: "OpenDraw (0x8E)".
inline void PrintTo(Command command, std::ostream* os) {
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", Code(command));
  *os << CommandName(Code(command)) << " (" << code << ")";
}

}  // namespace nev::protocol

namespace nevtest {

using nev::protocol::Code;
using nev::protocol::Command;

}  // namespace nevtest
