// The virtual paper: what the device prints, laid out like a till roll of a fixed width. The
// device composes lines in its own code page; they are kept and written out in UTF-8.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace nevsim {

class Paper {
 public:
  explicit Paper(int width);
  // From now on also writes to this file (truncated; empty for none) and to standard output.
  // Throws std::runtime_error when the file cannot be opened.
  void Attach(const std::string& path, bool to_stdout);
  // Attach that keeps what the file holds and adds to it (the roll of a device that persists).
  void AttachAppending(const std::string& path, bool to_stdout);

  // The roll ends after this many more printed lines from now (negative: it never ends).
  void RunOutAfter(long lines) { lines_left_ = lines; }
  bool Exhausted() const { return lines_left_ == 0; }
  ~Paper();
  Paper(const Paper&) = delete;
  Paper& operator=(const Paper&) = delete;

  int width() const { return width_; }
  // One printed line (device code page); longer lines wrap at the roll's width.
  void Print(const std::string& line);
  void Centered(const std::string& line);
  // Left text and right text on one line, the right one flush with the edge.
  void Row(const std::string& left, const std::string& right);
  void Rule(char c = '-');
  void Feed(int rows);

  std::string Text() const { return text_; }  // UTF-8, everything printed so far

  // Lines printed (device code page) from now on are also collected, until EndCapture().
  void BeginCapture() {
    capture_.clear();
    capturing_ = true;
  }
  std::vector<std::string> EndCapture() {
    capturing_ = false;
    return std::move(capture_);
  }
  // Prints lines that were laid out before (a duplicate).
  void Reprint(const std::vector<std::string>& lines) {
    for (const auto& l : lines) Emit(l);
  }

 private:
  void Emit(const std::string& line);
  void Open(const std::string& path, const char* mode, bool to_stdout);
  int width_;
  long lines_left_ = -1;
  std::FILE* file_ = nullptr;
  bool to_stdout_ = false;
  std::string text_;
  bool capturing_ = false;
  std::vector<std::string> capture_;
};

}  // namespace nevsim
