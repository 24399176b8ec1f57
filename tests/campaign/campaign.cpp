// nev_campaign: seeded random schedules of faults over real till processes (nevctl receipt, each
// till with its own documents and a journal) and simulated devices (nev-sim with a state file).
// After each schedule the devices' memories and the journals are checked against what every
// submission reported. A schedule is replayed from its seed: --seed S --schedules 1 --faults K.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device.h"
#include "nev/receipt.h"
#include "paper.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using json = nlohmann::json;

// The kinds of fault a schedule draws from; each can be switched on or off.
enum Fault { kKill, kPower, kLost, kLate, kHangup, kFull, kWal, kSwap, kTwoSame, kTwoDiff };
const char* const kFaultNames[] = {"kill", "power", "lost", "late",     "hangup",
                                   "full", "wal",   "swap", "two-same", "two-diff"};
constexpr int kFaultCount = 10;

// A till process that runs longer than this is killed and counts as one without a result (a
// lost answer costs a time-out and a reopened line; a device that restarts, a few seconds more).
constexpr int kTillBoundMs = 60000;

struct Config {
  std::string nevctl = NEVCTL_EXE, sim = NEV_SIM_EXE;
  uint64_t seed = 1;
  int schedules = 200, jobs = 6;
  std::vector<Fault> faults;
  bool keep = false, verbose = false;
  fs::path temp = fs::temp_directory_path();
};

// What the campaign counts per fault kind, in the order of its table's columns: schedules, those
// that broke an invariant, documents, submissions, each document's last result, and each broken
// invariant.
enum Count { kSchedules, kFailed, kDocuments, kSubmissions, kPrinted, kVoided, kRefused, kUnknown };
enum Broken { kDuplicate = 8, kLostReceipt, kFalseResult, kNoResult, kBare, kJournal, kMixed };
constexpr int kFigureCount = kMixed + 1;
const int kWidths[kFigureCount] = {5, 6, 5, 5, 7, 6, 7, 7, 4, 4, 5, 5, 5, 5, 5};
const char* const kBrokenNames[] = {
    "duplicates", "lost", "false results", "no result", "unknown without evidence",
    "journal",    "mixed"};
using Figures = std::array<int, kFigureCount>;

void Add(Figures& to, const Figures& f) {
  for (int i = 0; i < kFigureCount; ++i) to[i] += f[i];
}

// One line of the table.
void PrintRow(const char* label, const Figures& f) {
  std::printf("%-9s", label);
  for (int i = 0; i < kFigureCount; ++i)
    std::printf("%s%*d", i == kPrinted || i == kDuplicate ? " | " : " ", kWidths[i], f[i]);
  std::printf("\n");
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

long long FileSize(const fs::path& path) {
  std::error_code ec;
  const auto n = fs::file_size(path, ec);
  return ec ? 0 : static_cast<long long>(n);
}

// The JSON value of a text; null when it is none.
json JsonOf(const std::string& text) {
  json value = json::parse(text, nullptr, false);
  return value.is_discarded() ? json() : value;
}

// A text field of a till's result, if it has one.
std::optional<std::string> TextOf(const json& result, const char* key) {
  if (result.contains(key) && result[key].is_string()) return result[key].get<std::string>();
  return std::nullopt;
}

// A simulated device's memory as the checker sees it: the state file nev-sim keeps (every
// accepted command that changed the device), read without writing and replayed through the
// simulator's device, so that each fiscal receipt is known with its number, total, state and the
// documents whose items it holds.
struct DeviceReceipt {
  int number = 0;
  std::string total;           // as the device answered the close ("9.99")
  std::set<std::string> docs;  // document ids named by the first word of its item texts
  enum State { kOpen, kClosed, kVoided } state = kOpen;
};

struct DeviceMemory {
  std::string serial;
  std::vector<DeviceReceipt> receipts;  // fiscal receipts in the order they were opened
};

// Field index of a TAB-separated answer.
std::string Field(const std::string& data, int index) {
  std::size_t from = 0;
  for (int i = 0; i < index; ++i) {
    from = data.find('\t', from);
    if (from == std::string::npos) return {};
    ++from;
  }
  return data.substr(from, data.find('\t', from) - from);
}

// The memory held by the first `limit` bytes of the state file (the whole file when limit is
// negative). A torn last line is left out, as the device does when it starts.
DeviceMemory ReadDeviceMemory(const std::string& state_path, long long limit = -1) {
  std::string text = ReadFile(state_path);
  if (limit >= 0 && static_cast<std::size_t>(limit) < text.size()) text.resize(limit);

  nevsim::Paper paper(32);
  nevsim::Device device(paper);
  DeviceMemory memory;
  for (std::size_t from = 0, end; (end = text.find('\n', from)) != std::string::npos;
       from = end + 1) {
    // A line is "CC DDDD...": the command code and its data, in hex.
    const std::string line = text.substr(from, end - from);
    if (line.size() < 3 || line[2] != ' ' || line.size() % 2 == 0) break;
    std::string bytes;
    for (std::size_t i = 0; i < line.size(); i += i == 0 ? 3 : 2) {
      unsigned byte = 0;
      const auto [stop, error] = std::from_chars(&line[i], &line[i] + 2, byte, 16);
      if (error != std::errc() || stop != &line[i] + 2) break;
      bytes += static_cast<char>(byte);
    }
    if (bytes.size() != (line.size() - 1) / 2) break;
    const uint8_t cmd = static_cast<uint8_t>(bytes[0]);
    const std::string data = bytes.substr(1);
    const nevsim::Answer a = device.Command(cmd, data);
    DeviceReceipt* open =
        memory.receipts.empty() || memory.receipts.back().state != DeviceReceipt::kOpen
            ? nullptr
            : &memory.receipts.back();
    if (cmd == 0x83) {  // OpenFiscNote
      memory.receipts.push_back({});
      memory.receipts.back().number = std::atoi(a.data.c_str());
    } else if (open && (cmd == 0x86 || cmd == 0x85)) {  // SellTaxGroup, FiscText
      // The first word of the text field: the document id the campaign puts there.
      const std::string field = data.substr(0, data.find('\t'));
      open->docs.insert(field.substr(0, field.find(' ')));
    } else if (open && cmd == 0x84) {  // CloseFiscNote: "number TAB total"
      open->state = DeviceReceipt::kClosed;
      open->total = Field(a.data, 1);
    } else if (open && cmd == 0x8C) {  // VoidAll
      open->state = DeviceReceipt::kVoided;
    }
  }
  memory.serial = Field(device.Command(0xA0, "").data, 1);  // ECRInfo: "NEV-SIM TAB serial ..."
  return memory;
}

// Points link at target in one step (a new link renamed over the old one).
void PointLink(const fs::path& link, const fs::path& target) {
  const fs::path fresh = link.string() + ".new";
  fs::remove(fresh);
  fs::create_symlink(target, fresh);
  fs::rename(fresh, link);
}

// One simulated device: nev-sim on its state file, serving behind its own link.
struct Device {
  std::string serial;
  fs::path state, link, dir;
  pid_t pid = -1;
  int starts = 0;

  bool Start(const std::string& exe, const std::vector<std::string>& faults) {
    ++starts;
    const fs::path out = dir / ("sim-" + serial + "-" + std::to_string(starts) + ".out");
    std::vector<std::string> args{exe, "--state", state.string(), "--link", link.string()};
    args.insert(args.end(), faults.begin(), faults.end());
    pid = nevtest::Spawn(args, out, out.string() + ".err");
    // It prints the line's path once it serves.
    return pid > 0 && nevtest::WaitForText(out, "\n", 5000);
  }
  void Kill(int sig) {
    if (pid <= 0) return;
    ::kill(pid, sig);
    nevtest::WaitExit(pid, 5000);
    pid = -1;
  }
  // True when the process ended by itself (a power cut it was told to make).
  bool Ended() {
    if (pid <= 0 || !nevtest::WaitExit(pid, 0, false)) return false;
    pid = -1;
    return true;
  }
};

struct Submission {
  std::string doc;
  int till = 0;
  std::optional<int> exit;  // none: killed by the campaign, or ran over its bound
  bool killed = false, over_bound = false;
  json result;                          // null when the till printed none
  std::vector<long long> memory_sizes;  // each device's state file when it ended
};

struct Till {
  int device = 0;  // the device it is set up for
  fs::path port, journal;
  std::vector<std::string> docs;
  fs::path out;  // the output of its last run
  // The run under way.
  std::size_t next = 0;
  pid_t pid = -1;
  Clock::time_point started;
  int start_after_ms = 0;
  bool kill_planned = false;
};

// The commands of a receipt whose answers the device can lose or cut the power after.
const char* const kReceiptCodes[] = {"0x92", "0x83", "0x86", "0x85", "0x8A",
                                     "0x8B", "0x84", "0x93", "0xA1"};

class Schedule {
 public:
  Schedule(const Config& config, uint64_t seed, Fault fault)
      : cfg_(config), seed_(seed), fault_(fault), rng_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  ~Schedule() {
    for (Device& d : devices_) d.Kill(SIGKILL);
    for (Till& t : tills_) {
      if (t.pid > 0) {
        ::kill(t.pid, SIGKILL);
        nevtest::WaitExit(t.pid, 5000);
      }
    }
    if (mounted_) ::umount2(mount_.c_str(), MNT_DETACH);
    std::error_code ec;
    if (!dir_.empty() && !(cfg_.keep && !problems_.empty())) fs::remove_all(dir_, ec);
  }

  // Runs the schedule and checks it; the problems found (empty when every invariant held).
  const std::vector<std::string>& Run(Figures& f) {
    try {
      Prepare();
      Play();
      Recover();
      Check(f);
    } catch (const std::exception& e) {
      Problem(kNoResult, f, std::string("the schedule could not run: ") + e.what());
    }
    return problems_;
  }
  const fs::path& dir() const { return dir_; }

 private:
  int Draw(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Coin() { return Draw(0, 1) == 1; }

  void Problem(Broken kind, Figures& f, const std::string& text) {
    ++f[kind];
    problems_.push_back(std::string(kBrokenNames[kind - kDuplicate]) + ": " + text);
  }

  std::string Document(const std::string& id) {
    json items = json::array();
    const int n = Draw(1, 3);
    for (int i = 0; i < n; ++i) {
      items.push_back({{"text", id + " item" + std::to_string(i)},
                       {"taxGroup", i % 2 ? "A" : "B"},
                       {"quantity", Draw(1, 3)},
                       {"price", Draw(10, 999) / 100.0}});
    }
    if (Coin()) items.push_back({{"comment", id}});
    return json{{"id", id},
                {"operator", {{"number", 1}, {"password", "0000"}}},
                {"items", items},
                {"payments", json::array({{{"type", 1}, {"amount", 50}}})}}
        .dump();
  }

  void Prepare() {
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "nev-campaign-%llu-XXXXXX",
                  static_cast<unsigned long long>(seed_));
    std::string templ = (cfg_.temp / pattern).string();
    if (!::mkdtemp(templ.data())) throw std::runtime_error("cannot make a temporary folder");
    dir_ = templ;

    const int device_count = fault_ == kSwap || fault_ == kTwoDiff ? 2 : 1;
    for (int i = 0; i < device_count; ++i) {
      Device d;
      // Serial numbers and document ids differ from schedule to schedule.
      d.serial = std::to_string(seed_ % 1000000000) + "0" + std::to_string(i + 1);
      d.state = dir_ / ("device" + std::to_string(i) + ".state");
      d.link = dir_ / ("device" + std::to_string(i) + ".pty");
      d.dir = dir_;
      // The device's serial number, set once as the maker would (SendSerNum in its memory).
      std::string hex;
      for (char c : d.serial) hex += "3" + std::string(1, c);
      WriteFile(d.state, "A2 " + hex + "\n");
      devices_.push_back(std::move(d));
    }

    fs::path journal_dir = dir_;
    if (fault_ == kFull) {
      // The journal's file system is small: it fills somewhere in the first documents.
      mount_ = dir_ / "journalfs";
      fs::create_directory(mount_);
      const std::string size = "size=" + std::to_string(Draw(9, 40) * 4) + "k";
      if (::mount("tmpfs", mount_.c_str(), "tmpfs", 0, size.c_str()) != 0)
        throw std::runtime_error("cannot mount a tmpfs: " + std::string(std::strerror(errno)));
      mounted_ = true;
      journal_dir = mount_;
    }

    const int till_count = fault_ == kTwoSame || fault_ == kTwoDiff ? 2 : 1;
    for (int t = 0; t < till_count; ++t) {
      Till till;
      till.device = fault_ == kTwoDiff ? t : 0;
      till.port = dir_ / ("port" + std::to_string(t));
      PointLink(till.port, devices_[till.device].link);
      // Two tills of these kinds share one journal.
      till.journal = journal_dir / "journal0.db";
      till.start_after_ms = t == 0 ? 0 : Draw(0, 60);
      const int docs = Draw(2, 4);
      for (int d = 0; d < docs; ++d) {
        const std::string id = "s" + std::to_string(seed_ % 1000000000) + "-t" + std::to_string(t) +
                               "-d" + std::to_string(d);
        WriteFile(dir_ / (id + ".json"), Document(id));
        till.docs.push_back(id);
        owner_[id] = t;
      }
      tills_.push_back(std::move(till));
    }

    // Where and when the fault strikes: at one document of till 0, some milliseconds in.
    strike_doc_ = static_cast<std::size_t>(Draw(0, static_cast<int>(tills_[0].docs.size()) - 1));
    strike_ms_ = Draw(0, 100);
    // A till is killed either at a moment, or the moment the device has a given command in its
    // memory (the close among them: the narrowest window, between the device and the journal).
    const char* const kStrikeCodes[] = {"83 ", "86 ", "8B ", "84 "};
    if (Coin()) strike_code_ = kStrikeCodes[Draw(0, 3)];
    variant_ = Coin();
    switch (fault_) {
      case kLost:
        device_faults_ = {"--lose-answer", kReceiptCodes[Draw(0, 8)] + std::string(":1")};
        break;
      case kLate:
        device_faults_ = {"--late", std::to_string(Draw(0, 1500))};
        if (variant_)
          device_faults_.insert(device_faults_.end(), {"--delay", std::to_string(Draw(1, 40))});
        break;
      case kHangup:
        device_faults_ = {"--hangup-after", std::to_string(Draw(1, 9))};
        break;
      case kPower:
        // Either the device cuts its power after a command, or it is killed at a moment.
        if (variant_) device_faults_ = {"--power-cut-after", kReceiptCodes[Draw(1, 6)]};
        break;
      default:
        break;
    }
    for (Device& d : devices_) {
      if (!d.Start(cfg_.sim, {})) throw std::runtime_error("nev-sim did not start");
    }
  }

  pid_t StartTill(Till& t, int index) {
    const std::string& id = t.docs[t.next];
    const std::string name = "till" + std::to_string(index) + "-" + std::to_string(++runs_);
    t.out = dir_ / (name + ".out");
    t.started = Clock::now();
    return nevtest::Spawn({cfg_.nevctl, "--port", t.port.string(), "--baud", "115200", "--json",
                           "--log-dir", dir_.string(), "receipt", (dir_ / (id + ".json")).string(),
                           "--journal", t.journal.string()},
                          t.out, dir_ / (name + ".err"));
  }

  std::vector<long long> MemorySizes() const {
    std::vector<long long> sizes;
    for (const Device& d : devices_) sizes.push_back(FileSize(d.state));
    return sizes;
  }

  void Record(Till& t, int index, std::optional<int> exit, bool killed, bool over) {
    // The result is the output's last line.
    const std::string out = ReadFile(t.out);
    const auto brace = out.rfind("\n{", out.size() >= 2 ? out.size() - 2 : 0);
    const json result = JsonOf(out.substr(brace == std::string::npos ? 0 : brace + 1));
    submissions_.push_back({t.docs[t.next], index, exit, killed, over, result, MemorySizes()});
  }

  bool StrikeDue(const Till& t, Clock::duration elapsed) const {
    if (strike_code_.empty() || (fault_ != kKill && fault_ != kWal && fault_ != kSwap))
      return elapsed >= milliseconds(strike_ms_);
    const std::string memory = ReadFile(devices_[t.device].state);
    return memory.size() > static_cast<std::size_t>(memory_at_start_) &&
           memory.find("\n" + strike_code_, memory_at_start_ - 1) != std::string::npos;
  }

  // What happens the moment the fault strikes a running till.
  void Strike(Till& t) {
    if (fault_ == kKill || fault_ == kWal || (fault_ == kSwap && variant_)) {
      ::kill(t.pid, SIGKILL);
      t.kill_planned = true;
    } else if (fault_ == kPower && !variant_) {  // the power goes now; it comes back at once
      devices_[t.device].Kill(SIGKILL);
      if (!devices_[t.device].Start(cfg_.sim, {}))
        throw std::runtime_error("nev-sim did not start again");
    }
  }

  // Before till 0's document at the fault: the device takes its fault options, the path may
  // lead to another device.
  void BeforeStrikeDoc() {
    if (!device_faults_.empty()) {
      devices_[0].Kill(SIGTERM);
      if (!devices_[0].Start(cfg_.sim, device_faults_))
        throw std::runtime_error("nev-sim did not start with its faults");
    }
    if (fault_ == kSwap && !variant_) PointLink(tills_[0].port, devices_[1].link);
  }

  // After a till killed at the fault: the WAL may be lost, the path may lead elsewhere.
  void AfterKill(Till& t) {
    if (fault_ == kWal) ::truncate((t.journal.string() + "-wal").c_str(), 0);
    if (fault_ == kSwap) PointLink(t.port, devices_[1].link);
  }

  // Runs every till through its documents, with the fault where it was drawn.
  void Play() {
    const auto begin = Clock::now();
    bool struck = false;
    for (;;) {
      bool busy = false;
      for (int i = 0; i < static_cast<int>(tills_.size()); ++i) {
        Till& t = tills_[i];
        if (t.pid < 0) {
          if (t.next >= t.docs.size()) continue;
          busy = true;
          if (Clock::now() < begin + milliseconds(t.start_after_ms)) continue;
          if (i == 0 && t.next == strike_doc_ && !struck && !before_done_) {
            BeforeStrikeDoc();
            before_done_ = true;
          }
          if (i == 0) memory_at_start_ = FileSize(devices_[t.device].state);
          t.pid = StartTill(t, i);
          if (t.pid <= 0) throw std::runtime_error("nevctl did not start");
          continue;
        }
        busy = true;
        if (const std::optional<int> code = nevtest::WaitExit(t.pid, 0, false)) {
          t.pid = -1;
          const bool killed = std::exchange(t.kill_planned, false);
          Record(t, i, killed ? std::nullopt : code, killed, false);
          if (killed)
            AfterKill(t);  // the restarted till submits the same document again
          else
            ++t.next;
          continue;
        }
        const auto elapsed = Clock::now() - t.started;
        if (i == 0 && t.next == strike_doc_ && !struck && StrikeDue(t, elapsed)) {
          struck = true;
          Strike(t);
        } else if (elapsed > milliseconds(kTillBoundMs)) {
          nevtest::WaitExit(t.pid, 0);  // killed
          t.pid = -1;
          Record(t, i, std::nullopt, false, true);
          ++t.next;
        }
      }
      // A device that cut its own power comes back at once.
      for (Device& d : devices_) {
        if (d.Ended() && !d.Start(cfg_.sim, {}))
          throw std::runtime_error("nev-sim did not start again");
      }
      if (!busy) break;
      std::this_thread::sleep_for(milliseconds(3));
    }
  }

  // The faults end: every device serves without them behind its own path, the journal's file
  // system has room, and each till submits once more every document it has no final word on.
  void Recover() {
    for (Device& d : devices_) {
      d.Kill(SIGTERM);
      if (!d.Start(cfg_.sim, {})) throw std::runtime_error("nev-sim did not start");
    }
    for (Till& t : tills_) PointLink(t.port, devices_[t.device].link);
    if (mounted_ && ::mount("tmpfs", mount_.c_str(), "tmpfs", MS_REMOUNT, "size=16m") != 0)
      throw std::runtime_error("cannot give the journal's file system room");
    for (int i = 0; i < static_cast<int>(tills_.size()); ++i) {
      Till& t = tills_[i];
      for (t.next = 0; t.next < t.docs.size(); ++t.next) {
        const std::string state = LastState(t.docs[t.next]);
        if (state == "printed" || state == "voided") continue;
        t.pid = StartTill(t, i);
        const std::optional<int> code = nevtest::WaitExit(t.pid, kTillBoundMs);
        t.pid = -1;
        Record(t, i, code, false, !code);
      }
    }
  }

  std::string LastState(const std::string& doc) const {
    for (auto it = submissions_.rbegin(); it != submissions_.rend(); ++it)
      if (it->doc == doc) return TextOf(it->result, "state").value_or("");
    return "";
  }

  // The device a result names (its serial), else the one its till is set up for.
  int OwnDevice(const std::string& doc, const json& result) const {
    if (const auto serial = TextOf(result, "device")) {
      for (std::size_t i = 0; i < devices_.size(); ++i)
        if (devices_[i].serial == *serial) return static_cast<int>(i);
      return -1;
    }
    return tills_[owner_.at(doc)].device;
  }

  // Where a document's receipts were closed: the device index of each close.
  static std::vector<int> Closes(const std::vector<DeviceMemory>& memories, const std::string& doc,
                                 std::vector<int>* numbers = nullptr) {
    std::vector<int> where;
    for (std::size_t i = 0; i < memories.size(); ++i) {
      for (const DeviceReceipt& r : memories[i].receipts) {
        if (r.state == DeviceReceipt::kClosed && r.docs.count(doc)) {
          where.push_back(static_cast<int>(i));
          if (numbers) numbers->push_back(r.number);
        }
      }
    }
    return where;
  }

  void Check(Figures& f) {
    std::vector<DeviceMemory> memories;
    for (const Device& d : devices_) memories.push_back(ReadDeviceMemory(d.state));

    // The devices: no receipt holds two documents, no document is closed twice.
    for (std::size_t i = 0; i < memories.size(); ++i) {
      for (const DeviceReceipt& r : memories[i].receipts) {
        if (r.docs.size() > 1)
          Problem(kMixed, f,
                  "receipt " + std::to_string(r.number) + " on device " + devices_[i].serial +
                      " holds items of several documents");
      }
    }
    for (const auto& [doc, till] : owner_) {
      ++f[kDocuments];
      const std::vector<int> where = Closes(memories, doc);
      if (where.size() > 1)
        Problem(kDuplicate, f, doc + " is closed " + std::to_string(where.size()) + " times");
    }

    // Every submission ends with a result the devices bear out when it ended.
    for (const Submission& s : submissions_) {
      ++f[kSubmissions];
      if (s.killed) continue;
      const std::string who = s.doc + " (till " + std::to_string(s.till) + ")";
      const json& r = s.result;
      const std::string state = TextOf(r, "state").value_or("");
      const int expected_exit = state == "printed"                        ? 0
                                : state == "voided" || state == "refused" ? 3
                                : state == "unknown"                      ? 4
                                                                          : -1;
      std::vector<DeviceMemory> then;
      for (std::size_t i = 0; i < devices_.size(); ++i)
        then.push_back(ReadDeviceMemory(devices_[i].state.string(), s.memory_sizes[i]));
      std::vector<int> numbers;
      const std::vector<int> where = Closes(then, s.doc, &numbers);
      if (s.over_bound || !s.exit || expected_exit < 0 || *s.exit != expected_exit) {
        // The journal that cannot be opened is the one failure left without a result; it
        // must not come once the document reached a device.
        bool touched = false;
        for (const auto& m : then)
          for (const auto& rc : m.receipts) touched = touched || rc.docs.count(s.doc);
        if (!s.over_bound && s.exit == 1 && !touched) continue;
        Problem(kNoResult, f,
                who + ": exit " + (s.exit ? std::to_string(*s.exit) : "none") +
                    (s.over_bound ? " (ran over its bound)" : "") + ", state '" + state + "'" +
                    (touched ? " after the document reached the device" : ""));
        continue;
      }
      if (state == "unknown" &&
          (!r.contains("evidence") || !r["evidence"].is_array() || r["evidence"].empty()))
        Problem(kBare, f, who + " is unknown without evidence");
      if (state == "printed") {
        const int own = OwnDevice(s.doc, r);
        const auto on_own = std::find(where.begin(), where.end(), own);
        if (where.empty()) {
          Problem(kLostReceipt, f, who + " reported printed, but no device closed it");
        } else if (on_own == where.end()) {
          Problem(kFalseResult, f,
                  who + " reported printed, but it was closed on device " +
                      devices_[where[0]].serial + ", not on " +
                      (own >= 0 ? devices_[own].serial : std::string("the device it names")));
        } else if (r.contains("receiptNumber") && r["receiptNumber"].is_number_integer() &&
                   r["receiptNumber"].get<int>() != numbers[on_own - where.begin()]) {
          Problem(kFalseResult, f,
                  who + " reported receipt number " +
                      std::to_string(r["receiptNumber"].get<int>()) + ", the device closed it as " +
                      std::to_string(numbers[on_own - where.begin()]));
        }
      } else if ((state == "voided" || state == "refused") && !where.empty()) {
        Problem(kFalseResult, f,
                who + " reported " + state + ", but device " + devices_[where[0]].serial +
                    " had closed it");
      }
    }

    // Each document's last word, and the journals against the devices.
    for (const auto& [doc, till] : owner_) {
      const std::string state = LastState(doc);
      f[kPrinted] += state == "printed";
      f[kVoided] += state == "voided";
      f[kRefused] += state == "refused";
      f[kUnknown] += state == "unknown" || state.empty();
    }
    std::map<std::string, nev::receipt::JournalEntry> rows;
    std::set<fs::path> journals;
    for (const Till& t : tills_) {
      if (!journals.insert(t.journal).second) continue;
      nev::receipt::Journal journal(t.journal.string());
      for (nev::receipt::JournalEntry& e : journal.List()) rows[e.id] = std::move(e);
    }
    for (const auto& [doc, till] : owner_) {
      const std::vector<int> where = Closes(memories, doc);
      const auto row = rows.find(doc);
      const std::string state =
          row == rows.end() ? "no row" : row->second.state.value_or("unfinished");
      const json result =
          row != rows.end() && row->second.result ? JsonOf(*row->second.result) : json();
      if (state == "printed") {
        const int own = OwnDevice(doc, result);
        if (std::find(where.begin(), where.end(), own) == where.end())
          Problem(kJournal, f,
                  "the journal says " + doc + " was printed; its device did not close it");
      } else if (!where.empty() && state != "unknown" && state != "unfinished" &&
                 LastState(doc) != "unknown") {
        Problem(kJournal, f,
                "device " + devices_[where[0]].serial + " closed " + doc + "; the journal says " +
                    state);
      }
    }
    ++f[kSchedules];
    if (!problems_.empty()) ++f[kFailed];
  }

  const Config& cfg_;
  uint64_t seed_;
  Fault fault_;
  std::mt19937_64 rng_;
  fs::path dir_, mount_;
  bool mounted_ = false;
  std::vector<Device> devices_;
  std::vector<Till> tills_;
  std::map<std::string, int> owner_;  // document id -> its till
  std::vector<Submission> submissions_;
  int runs_ = 0;
  std::size_t strike_doc_ = 0;
  int strike_ms_ = 0;
  std::string strike_code_;  // strike when the device's memory gains this command
  long long memory_at_start_ = 0;
  bool variant_ = false, before_done_ = false;
  std::vector<std::string> device_faults_;
  std::vector<std::string> problems_;
};

// The fault kind of schedule `seed` among those switched on, drawn apart from the schedule's own
// draws so that a schedule replays alone with its kind named.
Fault KindOf(uint64_t seed, const std::vector<Fault>& faults) {
  std::mt19937_64 pick(seed);
  return faults[std::uniform_int_distribution<std::size_t>(0, faults.size() - 1)(pick)];
}

// What a worker can make its own: a mount namespace with a pty numbering of its own (so that a
// device that hangs up or loses power never frees a pty number that a device of another schedule
// then takes, behind a link a till still follows), and a tmpfs for the journal.
enum Isolation { kPtys = 1, kTmpfs = 2 };

int Isolate(const fs::path& temp) {
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return 0;
  int got = 0;
  if (::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") == 0 &&
      ::mount("/dev/pts/ptmx", "/dev/ptmx", nullptr, MS_BIND, nullptr) == 0)
    got |= kPtys;
  std::string templ = (temp / "nev-campaign-mount-XXXXXX").string();
  if (::mkdtemp(templ.data())) {
    if (::mount("tmpfs", templ.c_str(), "tmpfs", 0, "size=64k") == 0) {
      got |= kTmpfs;
      ::umount2(templ.c_str(), MNT_DETACH);
    }
    ::rmdir(templ.c_str());
  }
  return got;
}

// Asked once, in a child that ends with its namespace.
int Probe(const fs::path& temp) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(Isolate(temp));
  const std::optional<int> code = child > 0 ? nevtest::WaitExit(child, 10000) : std::nullopt;
  return code && *code > 0 && *code < 128 ? *code : 0;
}

// One worker: schedules first, first + step, ... one after another; a line per schedule into
// out: "S kind figures..." and, for one that broke an invariant, "F text".
void Work(const Config& cfg, int first, int step, std::FILE* out) {
  for (int i = first; i < cfg.schedules; i += step) {
    const uint64_t seed = cfg.seed + static_cast<uint64_t>(i);
    const Fault kind = KindOf(seed, cfg.faults);
    Figures f{};
    Schedule schedule(cfg, seed, kind);
    const std::vector<std::string> problems = schedule.Run(f);
    std::fprintf(out, "S %d", kind);
    for (int n : f) std::fprintf(out, " %d", n);
    std::fprintf(out, "\n");
    if (!problems.empty()) {
      std::string text = "schedule seed " + std::to_string(seed) + " (" + kFaultNames[kind] +
                         "): " + problems.front();
      if (problems.size() > 1) text += " (and " + std::to_string(problems.size() - 1) + " more)";
      if (cfg.keep) text += "; kept in " + schedule.dir().string();
      std::fprintf(out, "F %s\n", text.c_str());
      if (cfg.verbose)
        for (std::size_t p = 1; p < problems.size(); ++p)
          std::fprintf(out, "F     %s\n", problems[p].c_str());
    }
    std::fflush(out);
  }
}

const char kUsage[] = R"(usage: nev_campaign [--seed S] [--schedules N] [--jobs J] [--faults K,K...]
                    [--keep] [--verbose] [--nevctl PATH] [--nev-sim PATH]

Runs N seeded schedules (schedule i has seed S+i) of faults over nevctl receipt processes and
nev-sim devices, J at a time, and checks after each one the devices' memories and the journals
against every result. Fault kinds (all by default):
  kill      a till killed with SIGKILL at a moment; it submits the same document again
  power     the device's power cut: killed at a moment, or --power-cut-after a command
  lost      the device loses one answer (--lose-answer)
  late      an answer after the time-out (--late), sometimes every answer slow (--delay)
  hangup    the device hangs up the line (--hangup-after)
  full      the journal's file system fills (a small tmpfs)
  wal       a till killed, its journal's WAL lost, the same document again
  swap      another device behind the till's path, after a kill or between documents
  two-same  two tills on one journal and one device
  two-diff  two tills on one journal and two devices
A broken invariant prints the schedule's seed; replay it with --seed S --schedules 1 --faults K
(the same schedule; where two processes race, not always the same interleaving).
--keep keeps the folders of schedules that broke one. Exit status 1 when any invariant broke.
)";

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "nev_campaign: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--seed") {
      cfg.seed = std::stoull(value());
    } else if (a == "--schedules") {
      cfg.schedules = std::stoi(value());
    } else if (a == "--jobs") {
      cfg.jobs = std::max(1, std::stoi(value()));
    } else if (a == "--faults") {
      std::stringstream list(value());
      for (std::string name; std::getline(list, name, ',');) {
        const auto it = std::find_if(std::begin(kFaultNames), std::end(kFaultNames),
                                     [&](const char* n) { return name == n; });
        if (it == std::end(kFaultNames)) {
          std::fprintf(stderr, "nev_campaign: no fault kind %s\n%s", name.c_str(), kUsage);
          return 2;
        }
        cfg.faults.push_back(static_cast<Fault>(it - std::begin(kFaultNames)));
      }
    } else if (a == "--keep") {
      cfg.keep = true;
    } else if (a == "--verbose") {
      cfg.verbose = true;
    } else if (a == "--nevctl") {
      cfg.nevctl = value();
    } else if (a == "--nev-sim") {
      cfg.sim = value();
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "nev_campaign: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (cfg.faults.empty())
    for (int k = 0; k < kFaultCount; ++k) cfg.faults.push_back(static_cast<Fault>(k));
  const int can = Probe(cfg.temp);
  if (!(can & kTmpfs) &&
      std::find(cfg.faults.begin(), cfg.faults.end(), kFull) != cfg.faults.end()) {
    std::printf("fault kind full skipped: a tmpfs cannot be mounted here\n");
    cfg.faults.erase(std::remove(cfg.faults.begin(), cfg.faults.end(), kFull), cfg.faults.end());
  }
  if (!(can & kPtys) && cfg.jobs > 1) {
    std::printf("one schedule at a time: the ptys cannot be given a numbering of their own\n");
    cfg.jobs = 1;
  }
  if (cfg.faults.empty()) return 0;
  ::signal(SIGPIPE, SIG_IGN);
  const auto start = Clock::now();
  // The workers are processes, each in its own namespace, each writing its lines to a file.
  const int jobs = std::min(cfg.jobs, cfg.schedules);
  std::vector<std::FILE*> outs;
  std::vector<pid_t> workers;
  for (int w = 0; w < jobs; ++w) {
    std::FILE* out = std::tmpfile();
    if (!out) {
      std::perror("nev_campaign: tmpfile");
      return 2;
    }
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
      Isolate(cfg.temp);
      Work(cfg, w, jobs, out);
      std::fclose(out);
      ::_exit(0);
    }
    outs.push_back(out);
    workers.push_back(pid);
  }
  int lost_workers = 0;
  for (pid_t pid : workers) {
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      ++lost_workers;
  }
  Figures by_kind[kFaultCount] = {};
  for (std::FILE* out : outs) {
    std::rewind(out);
    char line[4096];
    while (std::fgets(line, sizeof line, out)) {
      if (line[0] == 'F') {
        std::fputs(line + 2, stdout);
        continue;
      }
      int kind = -1;
      Figures f{};
      std::istringstream in(line + 2);
      in >> kind;
      for (int& n : f) in >> n;
      if (in && kind >= 0 && kind < kFaultCount) Add(by_kind[kind], f);
    }
    std::fclose(out);
  }

  const double seconds =
      std::chrono::duration_cast<milliseconds>(Clock::now() - start).count() / 1000.0;
  std::printf("\n%-9s %5s %6s %5s %5s | %7s %6s %7s %7s | %4s %4s %5s %5s %5s %5s %5s\n", "kind",
              "sched", "broken", "docs", "subm", "printed", "voided", "refused", "unknown", "dup",
              "lost", "false", "nores", "bare", "journ", "mixed");
  Figures total{};
  for (int k = 0; k < kFaultCount; ++k) {
    if (std::find(cfg.faults.begin(), cfg.faults.end(), static_cast<Fault>(k)) == cfg.faults.end())
      continue;
    Add(total, by_kind[k]);
    PrintRow(kFaultNames[k], by_kind[k]);
  }
  PrintRow("all", total);
  std::printf("%d schedules in %.1f s (seed %llu, %d at a time); %d broke an invariant\n",
              total[kSchedules], seconds, static_cast<unsigned long long>(cfg.seed), jobs,
              total[kFailed]);
  if (lost_workers) std::printf("%d worker(s) did not finish\n", lost_workers);
  return total[kFailed] == 0 && lost_workers == 0 && total[kSchedules] == cfg.schedules ? 0 : 1;
}
