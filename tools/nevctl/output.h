// How nevctl shows calls: one readable line (and indented details) or one JSON object per call.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "nev/message.h"
#include "service/late_binding.h"

namespace nevctl {

using nev::service::Variant;

// One finished call as nevctl reports it.
struct CallRecord {
  std::string member;                                  // the table's spelling
  std::vector<std::pair<std::string, Variant>> shown;  // arguments as passed, for the readable form
  Variant result;                                      // empty for procedures
  bool procedure = false;                              // no result to show
  std::vector<std::pair<std::string, Variant>> out;    // by-reference outputs after the call
  std::vector<nev::RecordingSink::Message> messages;   // message boxes shown during the call
  bool failed = false;                                 // the call could not be made
  int error_number = 0;
  std::string error_text;
};

// A JSON string literal of UTF-8 text; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);
// true/false, a number, a string, or null (empty, missing, non-finite numbers).
std::string JsonValue(const Variant& value);
// {"member": ..., "result": ..., "out": {...}, "messages": [...]} and, for a call that could not
// be made, "error": {"number": N, "description": T}. One line, no trailing newline.
std::string JsonCall(const CallRecord& call);

// Readable value: True/False, numbers, "quoted text" with control characters escaped, Empty.
std::string ReadableValue(const Variant& value);
// Name(arg, ...) -> result, then indented lines for outputs, messages and errors.
void WriteReadable(std::ostream& out, const CallRecord& call);

}  // namespace nevctl
