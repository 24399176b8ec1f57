// What makes the simulator a device that survives power cuts and loses answers on purpose: the
// state file (the commands that changed the device, replayed on start) and the answer faults.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device.h"

namespace nevsim {

// The device's memory on disk: every accepted command that changes the device, one per line,
// synced before the command is answered. Replaying them gives the same fiscal memory, counters,
// open receipt and paper.
class StateFile {
 public:
  StateFile() = default;
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // Opens (or creates) the file and returns the commands it holds. Throws std::runtime_error.
  std::vector<std::pair<uint8_t, std::string>> Open(const std::string& path);
  bool active() const { return fd_ >= 0; }
  // Records an executed command when it changed the device (accepted, not a query).
  void Record(uint8_t cmd, const std::string& data, const Answer& answer);

 private:
  int fd_ = -1;
};

// Answers that never come back although the command ran.
class AnswerFaults {
 public:
  void LoseAnswer(int cmd, int times) { lose_[cmd] = times; }  // times < 0: every time
  void PowerCutAfter(int cmd) { cut_.insert(cmd); }
  void Clear() {
    lose_.clear();
    cut_.clear();
  }
  // True when this command's answer is to be dropped (counts one use down).
  bool TakeLose(int cmd);
  bool PowerCut(int cmd) const { return cut_.count(cmd) != 0; }

 private:
  std::map<int, int> lose_;
  std::set<int> cut_;
};

}  // namespace nevsim
