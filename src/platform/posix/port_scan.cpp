// The scan's view of a POSIX system: device nodes under /dev, holders read from /proc.
#include "platform/port_scan.h"

#include <fnmatch.h>
#include <glob.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

namespace nev::platform {

namespace {

namespace fs = std::filesystem;

std::string Resolved(const std::string& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  return ec ? path : real.string();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Why a device is left alone unless named: a Bluetooth serial link may dial out or pair, a
// modem may dial. Empty when it is an ordinary serial device.
std::string SkipReason(const std::string& port, const std::string& device) {
  for (const std::string& name : {port, device}) {
    const std::string base = Lower(fs::path(name).filename().string());
    if (base.rfind("rfcomm", 0) == 0 || base.find("bluetooth") != std::string::npos) {
      return "Bluetooth serial link (name it in the port list to scan it)";
    }
    if (base.rfind("ircomm", 0) == 0 || base.rfind("ttyircomm", 0) == 0 ||
        base.find("modem") != std::string::npos) {
      return "modem-like device (name it in the port list to scan it)";
    }
  }
  return {};
}

// The driver name /proc/devices gives a character major ("pts" for 136).
std::string MajorName(unsigned major) {
  std::ifstream devices("/proc/devices");
  bool chars = false;
  for (std::string line; std::getline(devices, line);) {
    if (line.rfind("Character", 0) == 0) chars = true;
    if (line.rfind("Block", 0) == 0) return {};
    std::size_t at = 0;
    while (at < line.size() && line[at] == ' ') ++at;
    if (!chars || at == line.size() || !std::isdigit(static_cast<unsigned char>(line[at])))
      continue;
    std::size_t end = at;
    const unsigned n = static_cast<unsigned>(std::stoul(line.substr(at), &end));
    if (n == major) return line.substr(at + end + 1);
  }
  return {};
}

// False for what must not even be opened: no character device (a file), or one that is no
// serial line (a console, a watchdog, whose mere opening has effects). A name that does not
// exist passes: the open then says so.
bool SerialLike(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) return true;
  if (!S_ISCHR(st.st_mode)) return false;
  const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
  std::error_code ec;
  const fs::path target =
      fs::read_symlink("/sys/dev/char/" + std::to_string(maj) + ":" + std::to_string(min), ec);
  // Pseudo-terminal slaves are not listed there.
  if (ec) return MajorName(maj) == "pts";
  if (target.parent_path().filename() != "tty") return false;
  const std::string name = target.filename().string();
  const bool console = name == "console" || name == "tty" || name == "ptmx" ||
                       (name.size() > 3 && name.rfind("tty", 0) == 0 &&
                        std::all_of(name.begin() + 3, name.end(), ::isdigit));
  return !console;
}

PortCandidate Candidate(const std::string& port, bool may_skip) {
  PortCandidate c{port, Resolved(port), {}};
  if (may_skip) c.skip = SkipReason(c.port, c.device);
  if (c.skip.empty() && !SerialLike(c.device)) c.skip = "not a serial device (left unopened)";
  return c;
}

// False when the kernel says the 8250-style port behind this name has no UART (type 0).
bool UartPresent(const std::string& name) {
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = -1;
  if (type >> value) return value != 0;
  return true;
}

// The trailing number of a device name ("ttyUSB12" gives 12), or -1.
long TrailingNumber(const std::string& name, std::size_t prefix) {
  if (name.size() <= prefix || name.size() - prefix > 6) return -1;
  for (std::size_t i = prefix; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
  }
  return std::stol(name.substr(prefix));
}

}  // namespace

std::vector<PortCandidate> SerialCandidates() {
  std::vector<PortCandidate> out;
  std::error_code ec;
  std::vector<std::string> by_id;
  for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
    by_id.push_back(entry.path().string());
  }
  std::sort(by_id.begin(), by_id.end());
  for (const std::string& p : by_id) out.push_back(Candidate(p, true));

  const char* prefixes[] = {"ttyS", "ttyUSB", "ttyACM", "rfcomm"};
  std::vector<std::pair<std::pair<int, long>, std::string>> nodes;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    for (int rank = 0; rank < 4; ++rank) {
      const std::string prefix = prefixes[rank];
      if (name.rfind(prefix, 0) != 0) continue;
      const long n = TrailingNumber(name, prefix.size());
      if (n < 0 || (rank == 0 && !UartPresent(name))) continue;
      nodes.push_back({{rank, n}, entry.path().string()});
    }
  }
  std::sort(nodes.begin(), nodes.end());
  for (const auto& node : nodes) out.push_back(Candidate(node.second, true));
  return out;
}

std::vector<PortCandidate> CandidatesOf(const std::string& pattern) {
  if (pattern.find_first_of("*?[") == std::string::npos) return {Candidate(pattern, false)};
  std::vector<PortCandidate> out;
  glob_t g{};
  if (::glob(pattern.c_str(), 0, nullptr, &g) == 0) {
    for (std::size_t i = 0; i < g.gl_pathc; ++i) out.push_back(Candidate(g.gl_pathv[i], true));
  }
  ::globfree(&g);
  return out;
}

bool PortMatches(const PortCandidate& port, const std::string& pattern) {
  return ::fnmatch(pattern.c_str(), port.port.c_str(), 0) == 0 ||
         ::fnmatch(pattern.c_str(), port.device.c_str(), 0) == 0;
}

std::vector<std::string> OtherHolders(const std::vector<std::string>& devices) {
  std::vector<std::string> holders(devices.size());
  std::map<std::string, std::vector<std::size_t>> wanted;
  for (std::size_t i = 0; i < devices.size(); ++i) wanted[devices[i]].push_back(i);
  // Who holds which device, and who serves the master side of which pseudo-terminal.
  std::map<std::string, std::set<long>> opened;  // device -> processes
  std::map<long, std::set<long>> masters;        // pty index -> processes
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid_text = proc.path().filename().string();
    if (pid_text.empty() || !std::all_of(pid_text.begin(), pid_text.end(), ::isdigit)) continue;
    const long pid = std::stol(pid_text);
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      const std::string target = fs::read_symlink(fd.path(), link_ec).string();
      if (link_ec) continue;
      if (wanted.count(target)) opened[target].insert(pid);
      if (target == "/dev/ptmx" || target == "/dev/pts/ptmx") {
        std::ifstream info(proc.path() / "fdinfo" / fd.path().filename());
        for (std::string line; std::getline(info, line);) {
          if (line.rfind("tty-index:", 0) == 0) masters[std::atol(line.c_str() + 10)].insert(pid);
        }
      }
    }
  }
  for (const auto& [device, pids] : opened) {
    std::set<long> others = pids;
    if (device.rfind("/dev/pts/", 0) == 0) {
      const std::string index = device.substr(9);
      if (!index.empty() && std::all_of(index.begin(), index.end(), ::isdigit)) {
        for (long m : masters[std::atol(index.c_str())]) others.erase(m);
      }
    }
    if (others.empty()) continue;
    const long pid = *others.begin();
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    const std::string text =
        "held by process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
    for (std::size_t i : wanted[device]) holders[i] = text;
  }
  return holders;
}

}  // namespace nev::platform
