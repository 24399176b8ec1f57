#include "paper.h"

#include <stdexcept>

#include "text.h"

namespace nevsim {

Paper::Paper(int width) : width_(width < 16 ? 16 : width > 200 ? 200 : width) {}

void Paper::Attach(const std::string& path, bool to_stdout) {
  Open(path, "w", to_stdout);
}

void Paper::AttachAppending(const std::string& path, bool to_stdout) {
  Open(path, "a", to_stdout);
}

void Paper::Open(const std::string& path, const char* mode, bool to_stdout) {
  if (!path.empty()) {
    std::FILE* f = std::fopen(path.c_str(), mode);
    if (!f) throw std::runtime_error("cannot open paper file " + path);
    if (file_) std::fclose(file_);
    file_ = f;
  }
  to_stdout_ = to_stdout;
}

Paper::~Paper() {
  if (file_) std::fclose(file_);
}

void Paper::Emit(const std::string& line) {
  if (lines_left_ > 0) --lines_left_;
  if (capturing_) capture_.push_back(line);
  std::string utf8 = Cp1251ToUtf8(line);
  // Trailing blanks are not ink.
  while (!utf8.empty() && utf8.back() == ' ') utf8.pop_back();
  utf8 += '\n';
  text_ += utf8;
  if (text_.size() > (16u << 20)) text_.erase(0, text_.size() / 2);  // keep the recent part
  if (file_) {
    std::fputs(utf8.c_str(), file_);
    std::fflush(file_);
  }
  if (to_stdout_) {
    std::fputs(utf8.c_str(), stdout);
    std::fflush(stdout);
  }
}

void Paper::Print(const std::string& line) {
  std::string clean;
  for (char c : line) clean += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  if (clean.empty()) {
    Emit("");
    return;
  }
  for (size_t at = 0; at < clean.size(); at += width_) Emit(clean.substr(at, width_));
}

void Paper::Centered(const std::string& line) {
  if (static_cast<int>(line.size()) >= width_) return Print(line);
  Print(std::string((width_ - line.size()) / 2, ' ') + line);
}

void Paper::Row(const std::string& left, const std::string& right) {
  const int room = width_ - static_cast<int>(right.size()) - 1;
  if (room < 1 || static_cast<int>(left.size()) > room) {
    Print(left);
    Print(std::string(width_ > static_cast<int>(right.size()) ? width_ - right.size() : 0, ' ') +
          right);
    return;
  }
  Print(left + std::string(width_ - left.size() - right.size(), ' ') + right);
}

void Paper::Rule(char c) {
  Print(std::string(width_, c));
}

void Paper::Feed(int rows) {
  for (int i = 0; i < rows; ++i) Emit("");
}

}  // namespace nevsim
