// The error numbers the driver raises keep their standard texts byte for byte.
#include "nev/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <stdexcept>

namespace {

// Each name keeps its number, and each number its text, as callers already know them.
TEST(ErrorTable, EveryNumberKeepsItsText) {
  const struct {
    int32_t named, number;
    const char* text;
  } rows[] = {
      {nev::kErrInvalidArgument, 5, "Invalid procedure call or argument"},
      {nev::kErrOverflow, 6, "Overflow"},
      {nev::kErrOutOfMemory, 7, "Out of memory"},
      {nev::kErrTypeMismatch, 13, "Type mismatch"},
      {nev::kErrInternal, 51, "Internal error"},
      {nev::kErrBadFileName, 52, "Bad file name or number"},
      {nev::kErrFileNotFound, 53, "File not found"},
      {nev::kErrDiskFull, 61, "Disk full"},
      {nev::kErrPastEndOfFile, 62, "Input past end of file"},
      {nev::kErrTooManyFiles, 67, "Too many files"},
      {nev::kErrPermissionDenied, 70, "Permission denied"},
      {nev::kErrPathFileAccess, 75, "Path/File access error"},
      {nev::kErrPathNotFound, 76, "Path not found"},
      {nev::kErrBadPropertyValue, 380, "Invalid property value"},
      {nev::kErrMemberNotFound, 438, "Object doesn't support this property or method"},
      {nev::kErrParamNotFound, 448, "Named argument not found"},
      {nev::kErrNotOptional, 449, "Argument not optional"},
      {nev::kErrBadParamCount, 450, "Wrong number of arguments or invalid property assignment"},
      {nev::kErrPortOpenFailed, 8002, "Invalid port number"},
      {nev::kErrPortAlreadyOpen, 8005, "Port already open"},
      {nev::kErrPortNotOpen, 8018, "Operation valid only when the port is open"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.named, row.number) << row.text;
    EXPECT_EQ(nev::StandardDescription(row.number), row.text);
  }
  for (const int32_t other : {0, 8, 9999}) {
    EXPECT_EQ(nev::StandardDescription(other), "Application-defined or object-defined error");
  }
}

TEST(ErrorTable, ExceptionsBecomeRecords) {
  const nev::ErrorRecord memory = nev::RecordOf(std::make_exception_ptr(std::bad_alloc()));
  EXPECT_EQ(memory.number, 7);
  EXPECT_EQ(memory.description, "Out of memory");
  const nev::ErrorRecord other = nev::RecordOf(std::make_exception_ptr(std::logic_error("x")));
  EXPECT_EQ(other.number, 51);
  EXPECT_EQ(other.description, "x");
}

}  // namespace
