#include "nev/error.h"

namespace nev {

std::string StandardDescription(int32_t number) {
  switch (number) {
    case 5:
      return "Invalid procedure call or argument";
    case 6:
      return "Overflow";
    case 7:
      return "Out of memory";
    case 13:
      return "Type mismatch";
    case 51:
      return "Internal error";
    case 8002:
      return "Invalid port number";
    case 8005:
      return "Port already open";
    case 8018:
      return "Operation valid only when the port is open";
    default:
      return "Application-defined or object-defined error";
  }
}

void Raise(int32_t number, const std::string& description) {
  throw RuntimeError(
      {number, description.empty() ? StandardDescription(number) : description, "NEVComServer"});
}

}  // namespace nev
