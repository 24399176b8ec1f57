// Splitting nevctl's script lines into words, with shell-like quoting.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nevctl {

// One word of a line. name_end is the position of the first '=' when that '=' and everything
// before it were unquoted (a NAME=VALUE candidate), else npos.
struct Word {
  std::string text;
  std::size_t name_end = std::string::npos;

  // A word given on the command line: the shell has already taken the quotes away.
  static Word FromArgument(std::string text);
};

class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Splits one line. Words are separated by blanks (space, TAB); "double quotes" and 'single
// quotes' keep blanks; outside single quotes a backslash escapes the next character, with \t
// giving TAB, \n a line feed and \r a carriage return; an unquoted '#' that starts a word begins a
// comment that runs to the end of the line. Throws ScriptError for an unclosed quote or a
// backslash at the end of the line.
std::vector<Word> SplitLine(std::string_view line);

}  // namespace nevctl
