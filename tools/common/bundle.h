// The parts of a support bundle that nevctl doctor and nevd's diagnostics route share: a ustar
// archive built in memory, file by file (readable by any tar), and a log file's last lines.
#pragma once

#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <string>
#include <utility>

namespace nevtools {

class Tar {
 public:
  void Add(const std::string& name, const std::string& body) {
    char h[512] = {};
    std::snprintf(h, 100, "%s", name.c_str());
    std::snprintf(h + 100, 8, "%07o", 0644);
    std::snprintf(h + 108, 8, "%07o", 0);
    std::snprintf(h + 116, 8, "%07o", 0);
    std::snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(body.size()));
    std::snprintf(h + 136, 12, "%011llo", static_cast<unsigned long long>(std::time(nullptr)));
    std::memset(h + 148, ' ', 8);  // the checksum is summed with its own field as blanks
    h[156] = '0';
    std::memcpy(h + 257, "ustar", 6);
    std::memcpy(h + 263, "00", 2);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    std::snprintf(h + 148, 8, "%06o", sum);
    data_.append(h, sizeof h);
    data_ += body;
    data_.append((512 - body.size() % 512) % 512, '\0');
  }
  // The archive with its two closing zero blocks; the object is empty afterwards.
  std::string Take() { return std::move(data_) + std::string(1024, '\0'); }

 private:
  std::string data_;
};

// The last `count` lines of a file, each with its line end; empty when it cannot be read.
inline std::string LastLines(const std::string& path, std::size_t count) {
  std::ifstream in(path, std::ios::binary);
  std::deque<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line + "\n");
    if (lines.size() > count) lines.pop_front();
  }
  std::string text;
  for (const std::string& l : lines) text += l;
  return text;
}

}  // namespace nevtools
