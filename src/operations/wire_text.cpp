#include "operations/wire_text.h"

#include <charconv>
#include <cmath>

#include "nev/error.h"
#include "platform/codepage.h"
#include "protocol/frame.h"

namespace nev::operations {

namespace {

[[noreturn]] void Refuse(const char* param, const char* why) {
  Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": " + param + " " + why);
}

}  // namespace

void CheckFieldText(std::string_view text, const char* param) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20) Refuse(param, "holds a TAB or a control character");
  }
}

std::string WireText(std::string_view utf8, const char* param, bool lossy, TextRule rule) {
  if (rule == TextRule::kField) CheckFieldText(utf8, param);
  std::string wire = platform::ToWire(utf8);
  // A text converts exactly when it reads back the same; anything replaced or best-fitted does
  // not.
  if (!lossy && platform::FromWire(wire) != utf8) {
    Refuse(param, "holds a character the device cannot print");
  }
  return wire;
}

namespace {

std::string NumberText(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

}  // namespace

void CheckFieldNumber(double value, double lo, double hi, const char* param) {
  if (value >= lo && value <= hi) return;
  Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": " + param + " = " +
                                 NumberText(value) + " is out of range (" + NumberText(lo) +
                                 " to " + NumberText(hi) + ")");
}

void CheckAmount(double value, const char* param) {
  const char* why = std::isnan(value)                  ? "is not a number"
                    : std::isinf(value)                ? "is infinite"
                    : std::fabs(value) >= kAmountLimit ? "is too large for an amount"
                                                       : nullptr;
  if (!why) return;
  Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": " + param + " = " +
                                 NumberText(value) + " " + why);
}

void CheckFinite(double value) {
  if (!std::isfinite(value)) Raise(kErrInvalidArgument);
}

void CheckRange(int64_t value, int64_t lo, int64_t hi) {
  if (value < lo || value > hi) Raise(kErrInvalidArgument);
}

char CodeChar(int64_t code) {
  CheckRange(code, 0, 255);
  return static_cast<char>(static_cast<unsigned char>(code));
}

std::string HexDigitsToNibbles(std::string_view text) {
  std::string nibbles;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      nibbles.push_back(c);
    } else if (c >= 'A' && c <= 'F') {
      nibbles.push_back(protocol::NibbleChar(static_cast<unsigned>(c - 'A' + 10)));
    }
  }
  return nibbles;
}

std::string TrimSpaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace nev::operations
