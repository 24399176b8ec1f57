#include "ports.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string_view>

extern char** environ;

namespace nevctl {
namespace {

namespace fs = std::filesystem;

// Trailing number of a device name ("ttyUSB12" gives 12), or -1.
int TrailingNumber(std::string_view name) {
  std::size_t i = name.size();
  while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') --i;
  if (i == name.size() || name.size() - i > 6) return -1;
  return std::stoi(std::string(name.substr(i)));
}

// False when the kernel says the 8250-style port behind this name has no UART (type 0).
bool UartPresent(const std::string& name) {
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int value = -1;
  if (type >> value) return value != 0;
  return true;  // no such information: assume present
}

}  // namespace

std::vector<PortInfo> ListPorts() {
  std::vector<PortInfo> ports;
  std::map<int, std::string> mapped;
  for (char** env = environ; env != nullptr && *env != nullptr; ++env) {
    const std::string_view entry(*env);
    constexpr std::string_view kPrefix = "NEVCOM_COM";
    if (entry.substr(0, kPrefix.size()) != kPrefix) continue;
    const std::size_t eq = entry.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view digits = entry.substr(kPrefix.size(), eq - kPrefix.size());
    if (digits.empty() || digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    const int n = std::stoi(std::string(digits));
    if (n > 0 && eq + 1 < entry.size()) mapped[n] = std::string(entry.substr(eq + 1));
  }
  for (const auto& [n, path] : mapped) {
    ports.push_back({n, path, "NEVCOM_COM" + std::to_string(n)});
  }

  struct Found {
    std::string prefix;
    int index;
    std::string path;
  };
  std::vector<Found> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/dev", ec)) {
    const std::string name = entry.path().filename().string();
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"}) {
      const std::string_view p(prefix);
      if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0) continue;
      const int index = TrailingNumber(name);
      if (index < 0 || name.size() - std::to_string(index).size() != p.size()) continue;
      if (p == "ttyS" && !UartPresent(name)) continue;
      found.push_back({std::string(p), index, entry.path().string()});
    }
  }
  auto rank = [](const std::string& prefix) {
    return prefix == "ttyS" ? 0 : prefix == "ttyUSB" ? 1 : prefix == "ttyACM" ? 2 : 3;
  };
  std::sort(found.begin(), found.end(), [&](const Found& a, const Found& b) {
    if (rank(a.prefix) != rank(b.prefix)) return rank(a.prefix) < rank(b.prefix);
    return a.index < b.index;
  });
  for (const Found& f : found) {
    int number = 0;
    if (f.prefix == "ttyS" && mapped.count(f.index + 1) == 0) number = f.index + 1;
    ports.push_back({number, f.path, ""});
  }
  return ports;
}

}  // namespace nevctl
