#include "scan_cmd.h"

#include <signal.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "nev/error.h"
#include "nev/port_spec.h"
#include "nev/scan.h"
#include "output.h"

namespace nevctl {

namespace {

nev::ScanCancel* g_cancel = nullptr;

extern "C" void CancelScan(int) {
  if (g_cancel) g_cancel->Cancel();  // an atomic store: safe in a signal handler
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma - start);
    if (!item.empty()) items.push_back(item);
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

bool Whole(const std::string& text, int32_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::string Cut(const std::string& text) {
  return JsonString(text.size() > 60 ? text.substr(0, 60) + "..." : text);
}

}  // namespace

int RunScan(const std::vector<std::string>& args, bool json, std::ostream& out, std::ostream& err) {
  nev::ScanOptions options;
  auto usage = [&](const std::string& problem) {
    err << "nevctl: scan: " << problem
        << "\nusage: nevctl scan [--ports LIST] [--speeds LIST] [--deny LIST] [--timeout MS] "
           "[--json]\n";
    return 2;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i], value;
    bool has_value = false;
    if (const auto eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    if (arg == "--json") {
      if (has_value) return usage("--json takes no value");
      json = true;
      continue;
    }
    if (arg != "--ports" && arg != "--deny" && arg != "--speeds" && arg != "--timeout") {
      return usage("unknown option " + Cut(arg));
    }
    if (!has_value) {
      if (i + 1 >= args.size()) return usage(Cut(arg) + " needs a value");
      value = args[++i];
    }
    if (arg == "--ports" || arg == "--deny") {
      std::vector<std::string>& list = arg == "--ports" ? options.ports : options.deny;
      list = SplitList(value);
      if (list.empty()) return usage(arg + " needs at least one port or pattern");
      for (const std::string& item : list) {
        const bool control = std::any_of(item.begin(), item.end(), [](char c) {
          return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
        });
        if (control || item.size() > nev::kMaxPortText) {
          return usage(arg + ": " + Cut(item) + " is not a port name or pattern");
        }
      }
    } else if (arg == "--speeds") {
      for (const std::string& s : SplitList(value)) {
        int32_t speed = 0;
        if (!Whole(s, speed) || !nev::LineSpeedSupported(speed)) {
          return usage("--speeds: " + Cut(s) + " is not a line speed (" + nev::LineSpeedsText() +
                       ")");
        }
        options.speeds.push_back(speed);
      }
      if (options.speeds.empty()) return usage("--speeds needs at least one speed");
    } else if (arg == "--timeout") {
      if (!Whole(value, options.total_ms) || options.total_ms < 1 || options.total_ms > 3600000)
        return usage("--timeout " + Cut(value) + ": not a number of ms from 1 to 3600000");
    }
  }

  nev::ScanCancel cancel;
  options.cancel = &cancel;
  g_cancel = &cancel;
  auto previous = ::signal(SIGINT, CancelScan);
  nev::ScanResult result;
  try {
    result = nev::Scan(options);
  } catch (const nev::RuntimeError& e) {
    ::signal(SIGINT, previous);
    g_cancel = nullptr;
    return usage(e.what());
  }
  ::signal(SIGINT, previous);
  g_cancel = nullptr;

  const std::size_t found = result.Found().size();
  if (json) {
    nlohmann::json ports = nlohmann::json::array();
    for (const nev::ScanPort& p : result.ports) {
      nlohmann::json j{{"port", p.port},
                       {"device", p.device},
                       {"state", nev::ScanStateName(p.state)},
                       {"detail", p.detail}};
      if (p.state == nev::ScanState::kFound) {
        j["speed"] = p.speed;
        j["serial"] = p.serial;
        j["model"] = p.model;
      }
      ports.push_back(std::move(j));
    }
    const nlohmann::json doc{{"ports", ports},
                             {"found", found},
                             {"elapsedMs", result.elapsed_ms},
                             {"timedOut", result.timed_out},
                             {"cancelled", result.cancelled}};
    out << doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    for (const nev::ScanPort& p : result.ports) {
      out << p.port << "  " << nev::ScanStateName(p.state);
      if (p.state == nev::ScanState::kFound) {
        out << "  speed " << p.speed << "  serial " << p.serial << "  model " << p.model;
        out << "  (--port serial:" << p.serial << ")";
      }
      if (!p.detail.empty()) out << "  (" << p.detail << ")";
      out << "\n";
    }
    if (result.ports.empty()) out << "no serial ports to scan\n";
    out << found << " found in " << result.elapsed_ms << " ms"
        << (result.timed_out ? " (the scan's time ran out)" : "")
        << (result.cancelled ? " (cancelled)" : "") << "\n";
  }
  return found > 0 ? 0 : 1;
}

}  // namespace nevctl
