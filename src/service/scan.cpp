// The safe scan: candidates listed and filtered, holders asked first, then on each free port the
// probe speed by speed and, where it is answered, the information command. Worker threads take
// ports from a shared index; every wait sleeps on the port in slices short enough to notice a
// cancel, the scan's deadline, or the wanted device found elsewhere.
#include "nev/scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "nev/error.h"
#include "nev/port_spec.h"
#include "platform/codepage.h"
#include "platform/port_scan.h"
#include "platform/serial_port.h"
#include "protocol/commands.h"
#include "protocol/exchange.h"
#include "protocol/frame.h"

namespace nev {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 100;             // the longest sleep between looks at cancel and deadline
constexpr int kProbeSynCeilingMs = 4000;  // SYNs of a command still running extend the probe so far
constexpr std::size_t kMaxListed = 256;   // ports, deny patterns
constexpr std::size_t kMaxSpeeds = 32;

[[noreturn]] void BadOption(const std::string& what) {
  Raise(kErrInvalidArgument, StandardDescription(kErrInvalidArgument) + ": scan " + what);
}

// A list entry as an error message quotes it: printable, cut short.
std::string Shown(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text.substr(0, 64)) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + (text.size() > 64 ? "...\"" : "\"");
}

void CheckNames(const std::vector<std::string>& names, const char* field) {
  if (names.size() > kMaxListed) {
    BadOption(std::string(field) + ": more than " + std::to_string(kMaxListed) + " entries");
  }
  for (const std::string& n : names) {
    const bool control = std::any_of(n.begin(), n.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (n.empty() || n.size() > kMaxPortText || control) {
      BadOption(std::string(field) + ": " + Shown(n) + " is not a port name or pattern");
    }
  }
}

void CheckRange(int32_t value, int32_t low, int32_t high, const char* field) {
  if (value < low || value > high) {
    BadOption(std::string(field) + ": " + std::to_string(value) + " is not from " +
              std::to_string(low) + " to " + std::to_string(high));
  }
}

void CheckOptions(const ScanOptions& o) {
  CheckNames(o.ports, "ports");
  CheckNames(o.deny, "deny");
  if (o.speeds.size() > kMaxSpeeds) BadOption("speeds: more than 32 entries");
  for (int32_t s : o.speeds) {
    if (!LineSpeedSupported(s)) {
      BadOption("speeds: " + std::to_string(s) + " is not a line speed this system can use (" +
                LineSpeedsText() + ")");
    }
  }
  CheckRange(o.probe_timeout_ms, 1, 60000, "probe_timeout_ms");
  CheckRange(o.info_timeout_ms, 1, 60000, "info_timeout_ms");
  CheckRange(o.total_ms, 1, 3600000, "total_ms");
  CheckRange(o.parallel, 1, 64, "parallel");
  CheckRange(o.info_serial_field, 1, 64, "info_serial_field");
  CheckRange(o.info_model_field, 1, 64, "info_model_field");
  if (o.serial.size() > kMaxSerialText) BadOption("serial: longer than 32 characters");
}

// The entries of NEVCOM_SCAN_PORTS, separated by commas.
std::vector<std::string> EnvironmentPorts() {
  std::vector<std::string> out;
  const char* text = std::getenv("NEVCOM_SCAN_PORTS");
  if (!text) return out;
  std::string_view rest(text);
  while (!rest.empty() && out.size() <= kMaxListed) {
    const std::size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty()) out.emplace_back(item);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return out;
}

// The candidates in order, each device once, the skipped and denied ones marked.
std::vector<platform::PortCandidate> Candidates(const ScanOptions& o) {
  std::vector<std::string> listed = o.ports.empty() ? EnvironmentPorts() : o.ports;
  if (!o.ports.empty() || !listed.empty()) CheckNames(listed, "ports (NEVCOM_SCAN_PORTS)");
  std::vector<platform::PortCandidate> all;
  if (listed.empty()) {
    all = platform::SerialCandidates();
  } else {
    for (const std::string& entry : listed) {
      // A port number stands for its device; a network line or a scan is no candidate.
      std::string name = entry;
      try {
        const PortSpec spec = PortSpec::Parse(entry);
        if (spec.kind == PortKind::kNumber) {
          name = platform::DeviceForPort(static_cast<int16_t>(spec.number));
        } else if (spec.kind != PortKind::kDevice) {
          BadOption("ports: " + Shown(entry) + " is not a serial device");
        }
      } catch (const PortSpecError&) {
        // Patterns may look like mistakes to the port reader ("/dev/ttyUSB*" does not): only
        // a text no device can carry is refused above.
      }
      for (auto& c : platform::CandidatesOf(name)) all.push_back(std::move(c));
    }
  }
  std::vector<platform::PortCandidate> out;
  std::set<std::string> seen;
  for (auto& c : all) {
    if (!seen.insert(c.device).second) continue;
    for (const std::string& pattern : o.deny) {
      if (c.skip.empty() && platform::PortMatches(c, pattern)) c.skip = "on the deny list";
    }
    out.push_back(std::move(c));
  }
  return out;
}

// Shared by the workers of one scan.
struct Run {
  const ScanOptions& options;
  std::vector<int32_t> speeds;
  Clock::time_point deadline;
  std::atomic<bool> wanted_found{false};

  bool Stopped() const {
    return wanted_found || (options.cancel && options.cancel->Cancelled()) ||
           Clock::now() >= deadline;
  }
};

// One port's line at one speed.
class Probe {
 public:
  // seq runs on across a port's speeds, so a reply still owed to the information command sent at
  // the speed before (its sequence byte) is never taken for this one's.
  Probe(Run& run, platform::SerialPort& port, uint8_t& seq) : run_(run), port_(port), seq_(seq) {}

  enum class Heard { kNak, kReply, kOther, kNothing, kStopped };

  // Sends the probe and reads what answers it. What a device still owes an earlier command (an
  // ACK, a SYN, a whole reply frame) is let go; the first other byte decides.
  Heard ProbeAnswer(std::string& heard) {
    port_.Output(protocol::BuildFrame(seq_, static_cast<uint8_t>(protocol::Command::kProbe), ""));
    const auto start = Clock::now();
    auto until = start + std::chrono::milliseconds(run_.options.probe_timeout_ms);
    const auto ceiling = start + std::chrono::milliseconds(kProbeSynCeilingMs);
    std::string frame;
    for (;;) {
      for (char c : port_.Input()) {
        if (heard.size() < 16) heard += c;
        if (!frame.empty()) {
          frame += c;
          if (frame.size() > protocol::kMaxReply) return Heard::kOther;
          if (c == protocol::ETX) {
            if (!protocol::SoundReplyFrame(frame)) return Heard::kOther;
            frame.clear();
          }
        } else if (c == protocol::NAK) {
          return Heard::kNak;
        } else if (c == protocol::SYN) {
          until = std::min(ceiling,
                           Clock::now() + std::chrono::milliseconds(run_.options.probe_timeout_ms));
        } else if (c == protocol::STX) {
          frame = c;
        } else if (c != protocol::ACK) {
          return Heard::kOther;
        }
      }
      const Heard waited = Wait(until);
      if (waited != Heard::kReply) return waited;
    }
  }

  // Sends the information command and reads its reply frame: kReply with the frame's data, or
  // what came instead. A frame that answers another command is let go.
  Heard Information(std::string& data) {
    const std::string request =
        protocol::BuildFrame(seq_, static_cast<uint8_t>(protocol::Command::kECRInfo), "");
    port_.Output(request);
    auto until = Clock::now() + std::chrono::milliseconds(run_.options.info_timeout_ms);
    std::string frame;
    for (;;) {
      for (char c : port_.Input()) {
        if (!frame.empty()) {
          frame += c;
          if (frame.size() > protocol::kMaxReply) return Heard::kOther;
          if (c != protocol::ETX) continue;
          if (!protocol::SoundReplyFrame(frame)) return Heard::kOther;
          if (frame[1] == request[1] && frame[3] == request[3]) {
            port_.Output(std::string_view(&protocol::ACK, 1));
            data = protocol::ParseReply(frame, true).data;
            return Heard::kReply;
          }
          frame.clear();
        } else if (c == protocol::STX) {
          frame = c;
        } else if (c == protocol::SYN) {
          until = Clock::now() + std::chrono::milliseconds(run_.options.info_timeout_ms);
        } else if (c == protocol::NAK) {
          return Heard::kNak;
        } else if (c != protocol::ACK) {
          return Heard::kOther;
        }
      }
      const Heard waited = Wait(until);
      if (waited != Heard::kReply) return waited;
    }
  }

 private:
  // Sleeps on the port until input, the time-out (kNothing) or the scan's end (kStopped);
  // kReply means "look again".
  Heard Wait(Clock::time_point until) {
    if (run_.Stopped()) return Heard::kStopped;
    const auto now = Clock::now();
    if (now >= until) return Heard::kNothing;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    port_.WaitReadable(static_cast<int>(std::min<long long>(left + 1, kSliceMs)));
    return Heard::kReply;
  }

  Run& run_;
  platform::SerialPort& port_;
  uint8_t& seq_;
};

std::string Hex(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes.substr(0, 8)) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", c);
    out += (out.empty() ? "" : " ") + std::string(hex);
  }
  return out + (bytes.size() > 8 ? " ..." : "");
}

// Field n (1-based) of TAB-separated data, empty when there is none.
std::string Field(const std::string& data, int n) {
  std::size_t start = 0;
  for (int i = 1; i < n; ++i) {
    start = data.find(protocol::TAB, start);
    if (start == std::string::npos) return {};
    ++start;
  }
  std::string f = data.substr(start, data.find(protocol::TAB, start) - start);
  while (!f.empty() && f.back() == ' ') f.pop_back();
  while (!f.empty() && f.front() == ' ') f.erase(0, 1);
  return platform::FromWire(f);
}

void Unfinished(const Run& run, ScanPort& out) {
  out.state = ScanState::kUnfinished;
  out.detail = run.wanted_found ? "not needed: the wanted device was found elsewhere"
                                : "the scan ended before every speed was tried";
}

void ScanOne(Run& run, ScanPort& out) {
  std::vector<std::string> garbled;  // "55 AA at 9600"
  std::string half_known;            // answered the probe but not the information command
  uint8_t seq = 0x20;
  for (int32_t speed : run.speeds) {
    if (run.Stopped()) return Unfinished(run, out);
    const std::unique_ptr<platform::SerialPort> port = platform::SerialPort::Create();
    try {
      port->Open(out.device, std::to_string(speed) + ",n,8,1");
    } catch (const RuntimeError& e) {
      if (e.number() == kErrPortAlreadyOpen) {
        out.state = ScanState::kBusy;
        out.detail = "another opener holds it";
      } else {
        out.state = ScanState::kFailed;
        out.detail = e.what();
      }
      return;
    }
    try {
      Probe probe(run, *port, seq);
      std::string heard;
      const Probe::Heard answer = probe.ProbeAnswer(heard);
      if (answer == Probe::Heard::kStopped) return Unfinished(run, out);
      if (answer == Probe::Heard::kOther) {
        garbled.push_back(Hex(heard) + " at " + std::to_string(speed));
        continue;
      }
      if (answer != Probe::Heard::kNak) continue;
      std::string data;
      const Probe::Heard info = probe.Information(data);
      if (info == Probe::Heard::kStopped) return Unfinished(run, out);
      if (info != Probe::Heard::kReply) {
        half_known =
            "answered the probe at " + std::to_string(speed) + " but not the information command";
        continue;
      }
      out.state = ScanState::kFound;
      out.speed = speed;
      out.serial = Field(data, run.options.info_serial_field);
      out.model = Field(data, run.options.info_model_field);
      if (!run.options.serial.empty() && out.serial == run.options.serial) run.wanted_found = true;
      return;
    } catch (const RuntimeError& e) {
      out.state = ScanState::kFailed;
      out.detail = e.what();
      return;
    }
  }
  if (half_known.empty() && garbled.empty()) {
    out.state = ScanState::kSilent;
    out.detail = "no answer at " + std::to_string(run.speeds.size()) +
                 (run.speeds.size() == 1 ? " speed" : " speeds");
    return;
  }
  out.state = ScanState::kForeign;
  out.detail = half_known;
  for (const std::string& g : garbled) out.detail += (out.detail.empty() ? "answered " : "; ") + g;
}

}  // namespace

const char* ScanStateName(ScanState state) {
  switch (state) {
    case ScanState::kFound:
      return "found";
    case ScanState::kBusy:
      return "busy";
    case ScanState::kSilent:
      return "silent";
    case ScanState::kForeign:
      return "foreign";
    case ScanState::kSkipped:
      return "skipped";
    case ScanState::kFailed:
      return "failed";
    case ScanState::kUnfinished:
      return "unfinished";
  }
  return "unknown";
}

std::vector<ScanPort> ScanResult::Found() const {
  std::vector<ScanPort> found;
  for (const ScanPort& p : ports) {
    if (p.state == ScanState::kFound) found.push_back(p);
  }
  return found;
}

ScanResult Scan(const ScanOptions& options) {
  CheckOptions(options);
  const auto start = Clock::now();
  Run run{options, options.speeds, start + std::chrono::milliseconds(options.total_ms)};
  // One scan at a time in a process: two at once (nevd's printers connecting together) would
  // find each other's probes holding a port and report it busy. The wait counts against the
  // scan's time; when it runs out, the scan goes ahead anyway.
  static std::timed_mutex one_at_a_time;
  std::unique_lock<std::timed_mutex> turn(one_at_a_time, std::defer_lock);
  while (!turn.try_lock_for(std::chrono::milliseconds(kSliceMs)) && !run.Stopped()) {
  }
  if (run.speeds.empty()) {
    run.speeds.assign(std::begin(kDefaultScanSpeeds), std::end(kDefaultScanSpeeds));
  }

  ScanResult result;
  const std::vector<platform::PortCandidate> candidates = Candidates(options);
  std::vector<std::string> devices;
  for (const auto& c : candidates) devices.push_back(c.device);
  // Asked before anything is opened: a port held by another process is not even opened.
  const std::vector<std::string> holders = platform::OtherHolders(devices);
  std::vector<std::size_t> todo;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    ScanPort p;
    p.port = candidates[i].port;
    p.device = candidates[i].device;
    if (!candidates[i].skip.empty()) {
      p.state = ScanState::kSkipped;
      p.detail = candidates[i].skip;
    } else if (!holders[i].empty()) {
      p.state = ScanState::kBusy;
      p.detail = holders[i];
    } else {
      todo.push_back(i);
    }
    result.ports.push_back(std::move(p));
  }

  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t k = next++; k < todo.size(); k = next++) ScanOne(run, result.ports[todo[k]]);
  };
  // Only worker threads wait on ports: the caller's thread may have events of its own due, which
  // would cut every wait on it short.
  std::vector<std::thread> workers;
  const std::size_t count = std::min<std::size_t>(todo.size(), options.parallel);
  for (std::size_t i = 0; i < count; ++i) workers.emplace_back(work);
  for (std::thread& t : workers) t.join();

  result.cancelled = options.cancel && options.cancel->Cancelled();
  result.timed_out = !result.cancelled && !run.wanted_found && Clock::now() >= run.deadline &&
                     std::any_of(result.ports.begin(), result.ports.end(), [](const ScanPort& p) {
                       return p.state == ScanState::kUnfinished;
                     });
  result.elapsed_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return result;
}

}  // namespace nev
