#include "nev/error.h"

#include <new>

namespace nev {

namespace {

// The one table of error numbers and their texts.
constexpr struct {
  ErrorNumber number;
  const char* description;
} kDescriptions[] = {
    {kErrInvalidArgument, "Invalid procedure call or argument"},
    {kErrOverflow, "Overflow"},
    {kErrOutOfMemory, "Out of memory"},
    {kErrTypeMismatch, "Type mismatch"},
    {kErrInternal, "Internal error"},
    {kErrBadFileName, "Bad file name or number"},
    {kErrFileNotFound, "File not found"},
    {kErrDiskFull, "Disk full"},
    {kErrPastEndOfFile, "Input past end of file"},
    {kErrTooManyFiles, "Too many files"},
    {kErrPermissionDenied, "Permission denied"},
    {kErrPathFileAccess, "Path/File access error"},
    {kErrPathNotFound, "Path not found"},
    {kErrBadPropertyValue, "Invalid property value"},
    {kErrMemberNotFound, "Object doesn't support this property or method"},
    {kErrParamNotFound, "Named argument not found"},
    {kErrNotOptional, "Argument not optional"},
    {kErrBadParamCount, "Wrong number of arguments or invalid property assignment"},
    {kErrPortOpenFailed, "Invalid port number"},
    {kErrPortAlreadyOpen, "Port already open"},
    {kErrPortNotOpen, "Operation valid only when the port is open"},
};

}  // namespace

std::string StandardDescription(int32_t number) {
  for (const auto& entry : kDescriptions) {
    if (entry.number == number) return entry.description;
  }
  return "Application-defined or object-defined error";
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
    return {kErrOutOfMemory, StandardDescription(kErrOutOfMemory), "NEVComServer"};
  } catch (const std::exception& e) {
    return {kErrInternal, e.what(), "NEVComServer"};
  } catch (...) {
    return {kErrInternal, StandardDescription(kErrInternal), "NEVComServer"};
  }
}

}  // namespace nev
