#include "durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace nevsim {

namespace {

std::string Hex(const std::string& bytes) {
  static const char* kDigits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

StateFile::~StateFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::pair<uint8_t, std::string>> StateFile::Open(const std::string& path) {
  std::vector<std::pair<uint8_t, std::string>> commands;
  if (std::FILE* f = std::fopen(path.c_str(), "r")) {
    char buf[1024];
    while (std::fgets(buf, sizeof buf, f)) {
      // "CC DDDD..." : the command code and its data, both in hex. A torn last line is ignored.
      std::string line = buf;
      if (line.empty() || line.back() != '\n') break;
      line.pop_back();
      const auto space = line.find(' ');
      if (space != 2 || Nibble(line[0]) < 0 || Nibble(line[1]) < 0) break;
      const auto cmd = static_cast<uint8_t>(Nibble(line[0]) * 16 + Nibble(line[1]));
      std::string data;
      bool good = (line.size() - 3) % 2 == 0;
      for (std::size_t i = 3; good && i + 1 < line.size(); i += 2) {
        const int hi = Nibble(line[i]), lo = Nibble(line[i + 1]);
        if (hi < 0 || lo < 0) good = false;
        data += static_cast<char>(hi * 16 + lo);
      }
      if (!good) break;
      commands.emplace_back(cmd, data);
    }
    std::fclose(f);
  }
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot open the state file " + path);
  return commands;
}

void StateFile::Record(uint8_t cmd, const std::string& data, const Answer& answer) {
  if (fd_ < 0 || !Device::Changes(cmd)) return;
  const bool accepted =
      answer.kind == Answer::kAck || (answer.kind == Answer::kFrame && !(answer.status[0] & 1));
  if (!accepted) return;
  const std::string line = Hex(std::string(1, static_cast<char>(cmd))) + " " + Hex(data) + "\n";
  // The device's memory is written before it answers.
  if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()) ||
      ::fdatasync(fd_) != 0)
    std::perror("nev-sim: state file");
}

bool AnswerFaults::TakeLose(int cmd) {
  auto it = lose_.find(cmd);
  if (it == lose_.end() || it->second == 0) return false;
  if (it->second > 0) --it->second;
  return true;
}

}  // namespace nevsim
