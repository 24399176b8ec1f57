// Run-time error record and the one exception type that carries it.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace nev {

// Every error number the driver raises. Error numbers follow the automation conventions callers
// already know; StandardDescription gives each one's text (the comments here quote them).
enum ErrorNumber : int32_t {
  kErrInvalidArgument = 5,  // "Invalid procedure call or argument"
  kErrOverflow = 6,         // "Overflow"
  kErrOutOfMemory = 7,      // "Out of memory"
  kErrTypeMismatch = 13,    // "Type mismatch"
  kErrInternal = 51,        // "Internal error"
  // The log's file layer.
  kErrBadFileName = 52,        // "Bad file name or number"
  kErrFileNotFound = 53,       // "File not found"
  kErrDiskFull = 61,           // "Disk full"
  kErrPastEndOfFile = 62,      // "Input past end of file"
  kErrTooManyFiles = 67,       // "Too many files"
  kErrPermissionDenied = 70,   // "Permission denied"
  kErrPathFileAccess = 75,     // "Path/File access error"
  kErrPathNotFound = 76,       // "Path not found"
  kErrBadPropertyValue = 380,  // "Invalid property value"
  // Late binding: a call by name or DISPID that cannot be bound.
  kErrMemberNotFound = 438,  // "Object doesn't support this property or method"
  kErrParamNotFound = 448,   // "Named argument not found"
  kErrNotOptional = 449,     // "Argument not optional"
  kErrBadParamCount = 450,   // "Wrong number of arguments or invalid property assignment"
  // The serial line.
  kErrPortOpenFailed = 8002,   // "Invalid port number" / the device cannot be opened
  kErrPortAlreadyOpen = 8005,  // "Port already open"
  kErrPortNotOpen = 8018,      // "Operation valid only when the port is open"
};

// The current error as the log and the error handlers see it. An error of the line also names
// the port and the speed it tried, and what a person can do about it (remedy, also said at the end
// of the description, which is all a message box shows).
struct ErrorRecord {
  int32_t number = 0;
  std::string description;
  std::string source;
  std::string port{};    // the device the line tried, when the error is the line's
  int32_t speed = 0;     // the line speed it tried (0: none)
  std::string remedy{};  // what to do about it, when the driver knows
};

class RuntimeError : public std::runtime_error {
 public:
  explicit RuntimeError(ErrorRecord record)
      : std::runtime_error(record.description), record_(std::move(record)) {}
  const ErrorRecord& record() const { return record_; }
  int32_t number() const { return record_.number; }

 private:
  ErrorRecord record_;
};

// The standard description of an error number above ("Overflow" for kErrOverflow), or
// "Application-defined or object-defined error" for any other number.
std::string StandardDescription(int32_t number);

// The error record of any exception: a RuntimeError's own record, or a generic one.
ErrorRecord RecordOf(std::exception_ptr error);

// Skip mode: runs one statement; a failure skips it and the caller goes on with the next one.
template <class Statement>
void SkipOnError(Statement&& statement) {
  try {
    statement();
  } catch (...) {
  }
}

// Throws RuntimeError with the number, its standard description (or the one given) and the
// source "NEVComServer".
[[noreturn]] void Raise(int32_t number, const std::string& description = {});

}  // namespace nev
