#include "nev/error.h"

#include <new>

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
    case 52:
      return "Bad file name or number";
    case 53:
      return "File not found";
    case 61:
      return "Disk full";
    case 62:
      return "Input past end of file";
    case 67:
      return "Too many files";
    case 70:
      return "Permission denied";
    case 75:
      return "Path/File access error";
    case 76:
      return "Path not found";
    case 380:
      return "Invalid property value";
    case 438:
      return "Object doesn't support this property or method";
    case 448:
      return "Named argument not found";
    case 449:
      return "Argument not optional";
    case 450:
      return "Wrong number of arguments or invalid property assignment";
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

ErrorRecord RecordOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(std::move(error));
  } catch (const RuntimeError& e) {
    return e.record();
  } catch (const std::bad_alloc&) {
    return {7, StandardDescription(7), "NEVComServer"};
  } catch (const std::exception& e) {
    return {51, e.what(), "NEVComServer"};
  } catch (...) {
    return {51, StandardDescription(51), "NEVComServer"};
  }
}

}  // namespace nev
