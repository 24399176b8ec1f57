// The NEV object: creation, teardown, SilentMode, and the serial link (InitConnection, OpenCom,
// StopConnection).
#include "nev/nev.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "log/debugger.h"
#include "nev/error.h"
#include "nev/message.h"
#include "nev/port_spec.h"
#include "nev/scan.h"
#include "platform/event_loop.h"
#include "platform/serial_port.h"
#include "protocol/exchange.h"
#include "protocol/frame.h"
#include "protocol/helper.h"
#include "service/command.h"
#include "service/state.h"

namespace nev {

namespace {

constexpr int kProbeTimeoutMs = 1000;
// The longest the probe waits while SYNs of a command still running restart its time-out.
constexpr int kProbeMaxMs = 4000;
constexpr uint8_t kProbeCommand = 0xFF;
constexpr int kNetworkOpenMs = 5000;
constexpr const char* kPortInUse =
    "COM портът е отворен! Опитайте операцията след няколко секунди!";

// Where OpenCom takes its device from: a port number, or a path given by a native caller; or
// why the caller's port text names no port.
struct PortChoice {
  int32_t number = 0;
  std::string path;     // empty: use the number; "serial:NUMBER" or "auto": found by a scan
  std::string refused;  // not empty: the port text was refused for this reason
  std::string shown;    // the refused text as the log shows it (quoted, escaped)
};

PortChoice ChoiceOf(const std::string& text) {
  try {
    const PortSpec spec = PortSpec::Parse(text);
    // A scanned or network line opens by its own text (the line chooses its kind by it).
    if (spec.Scanned() || spec.Network()) return PortChoice{0, spec.Text(), {}, {}};
    return spec.kind == PortKind::kNumber ? PortChoice{spec.number, {}, {}, {}}
                                          : PortChoice{0, spec.device, {}, {}};
  } catch (const PortSpecError& e) {
    return PortChoice{0, {}, e.what(), e.shown()};
  }
}

// The host form of the connection, or null once it is gone (a nested StopConnection may take it
// away while a wait lets events run).
protocol::frmMain* Host(NEVState& s) {
  return s.link.host.get();
}

// Reads the probe's answer within the probe time-out: the byte that decides it (a NAK passes),
// or, when none did, the first byte that came (nothing when none came). The device answers in
// order, so what comes before the probe's NAK answers a command of an earlier connection or of a
// process that died waiting: a whole reply frame, an ACK, or a SYN of a command still running
// (which restarts the time-out, as in every wait, up to kProbeMaxMs in all). These are let go
// and the wait goes on. Any other byte decides, and a frame that is not whole (cut short, too
// long, bad check characters: bytes of another speed or protocol) fails the probe. Sleeps on the
// port between passes and lets the thread's events run, as every wait does.
std::string ReadProbeAnswer(NEVState& s) {
  std::string first, frame;  // frame: a reply frame being collected, from its STX
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeMaxMs);
  Host(s)->ArmTimeout(kProbeTimeoutMs);
  for (;;) {
    protocol::frmMain* host = Host(s);
    if (!host || !host->Com().IsOpen()) return first;
    const std::string c = host->Com().Input();
    platform::DoEvents();
    if (!c.empty()) {
      if (first.empty()) first = c;
      const bool owed = c[0] == protocol::ACK || c[0] == protocol::SYN;
      if (frame.empty() && owed) {
        if (s.link.trace) s.link.trace([&] { return "<- " + protocol::HexText(c) + "  let go"; });
        if (c[0] == protocol::SYN && std::chrono::steady_clock::now() < end)
          Host(s)->ArmTimeout(kProbeTimeoutMs);
        continue;
      }
      if (frame.empty() && c[0] != protocol::STX) return c;
      frame += c;
      if (frame.size() > protocol::kMaxReply) return first;
      if (c[0] == protocol::ETX) {
        if (!protocol::SoundReplyFrame(frame)) return first;
        if (s.link.trace)
          s.link.trace([&] { return "<- " + protocol::HexText(frame) + "  let go"; });
        frame.clear();
      }
    }
    if (protocol::TimeoutFlag()) return first;
    if (c.empty() && Host(s)) Host(s)->Com().WaitReadable(kProbeTimeoutMs);
  }
}

// What the probe met instead of a NAK, and what to do about it, for the call's record and the
// trace.
ErrorRecord ProbeFailure(const std::string& answer, const std::string& device, int32_t baud) {
  const std::string where = " on " + device + " at " + std::to_string(baud);
  ErrorRecord error{kErrPortOpenFailed, {}, "NEVComServer"};
  if (answer.empty()) {
    error.description =
        "no answer to the probe within " + std::to_string(kProbeTimeoutMs) + " ms" + where;
    error.remedy =
        "check that the printer is switched on, that its cable is plugged in at both ends and "
        "that the line speed is the printer's (nevctl scan finds the printer and its speed)";
  } else {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(answer[0]));
    error.description = std::string("the probe was answered by ") + hex + ", not by NAK" + where;
    error.remedy =
        "the device answers at another speed or speaks another protocol: try nevctl scan, which "
        "finds the speed it answers at";
  }
  error.description += ": " + error.remedy;
  return error;
}

// Where a scan finds the device a serial:NUMBER or auto port names: its port and speed, or why
// it names none. The given speed is tried first.
struct ScanChoice {
  std::string port;
  int32_t speed = 0;
  std::string failure;
};

ScanChoice FindByScan(const PortSpec& port, int32_t baud_rate) {
  ScanOptions options;
  options.serial = port.serial;
  if (LineSpeedSupported(baud_rate)) options.speeds.push_back(baud_rate);
  for (int32_t speed : kDefaultScanSpeeds) {
    if (speed != baud_rate) options.speeds.push_back(speed);
  }
  const ScanResult result = Scan(options);
  const std::string name = port.serial.empty() ? "auto" : "serial:" + port.serial;
  std::vector<ScanPort> found = result.Found();
  if (!port.serial.empty()) {
    for (const ScanPort& p : found) {
      if (p.serial == port.serial) return {p.port, p.speed, {}};
    }
  } else if (found.size() == 1) {
    return {found[0].port, found[0].speed, {}};
  }
  std::string seen;
  for (const ScanPort& p : found) {
    seen += (seen.empty() ? "" : ", ") + p.serial + " at " + p.port;
  }
  std::string why = name + ": ";
  if (found.size() > 1 && port.serial.empty()) {
    why +=
        std::to_string(found.size()) + " devices found (" + seen + "): name one as serial:NUMBER";
  } else {
    why += port.serial.empty() ? "no device found" : "no device with this serial number found";
    why += " on " + std::to_string(result.ports.size()) + " ports";
    if (!seen.empty()) why += " (found: " + seen + ")";
    if (result.timed_out) why += "; the scan's time ran out";
  }
  return {{}, 0, why};
}

// Opens the port and proves that a device answers the probe with NAK.
bool OpenCom(NEVState& s, const PortChoice& port, int32_t baud_rate, service::CallScope& call) {
  if (!port.refused.empty()) {
    // Nothing is opened: a bad argument, told as the port's error.
    const ErrorRecord error{kErrPortOpenFailed,
                            StandardDescription(kErrPortOpenFailed) + ": " + port.refused,
                            "NEVComServer"};
    call.Failed(error);
    service::ReportError(s, "OpenCom", error);
    return false;
  }
  try {
    platform::SerialPort& com = Host(s)->Com();
    if (com.IsOpen()) com.Close();
    std::string device = port.path;
    if (device.empty()) {
      if (port.number > 32767 || port.number < -32768) Raise(kErrOverflow);
      device = platform::DeviceForPort(static_cast<int16_t>(port.number));
    }
    // serial:NUMBER and auto, given or named by NEVCOM_COM<N>, are found by a scan (ChoiceOf
    // keeps these texts as they are: no device path reads so).
    if (device == "auto" || device.rfind("serial:", 0) == 0) {
      const ScanChoice where = FindByScan(PortSpec::Parse(device), baud_rate);
      if (!where.failure.empty()) {
        call.SetOutcome(Outcome::kTimeout);
        call.record().error = ErrorRecord{kErrPortOpenFailed, where.failure, "NEVComServer"};
        if (s.log) s.log->Trace(kClassName, where.failure, "OpenCom");
        ShowMessage("Error opening COM Port!", kStyleCritical);
        return false;
      }
      if (s.log) {
        s.log->Trace(kClassName, "found at " + where.port + ", " + std::to_string(where.speed),
                     "OpenCom");
      }
      device = where.port;
      baud_rate = where.speed;
    }
    const std::string settings = std::to_string(baud_rate) + ",n,8,1";
    // Reaching a network line (name, connection, line set-up) takes a bounded part of the
    // command's ceiling.
    com.SetOpenLimit(std::min(kNetworkOpenMs, std::max(1, protocol::MaxWaitMs(s.link) / 2)));
    // A new connection learns its device afresh.
    s.link.lost = s.link.echoes = s.link.frame_sent = false;
    s.link.settle_gap_ms = 0;
    s.link.device = device;
    s.link.settings = settings;
    try {
      com.Open(device, settings);
    } catch (const RuntimeError& e) {
      ErrorRecord error = e.record();
      error.port = device;
      error.speed = baud_rate;
      call.record().error = error;
      call.SetOutcome(Outcome::kPortError);
      if (e.number() == kErrPortAlreadyOpen) {
        // The box keeps its fixed text; the record (and the trace) say it in English with the
        // program that holds the port.
        ShowMessage(kPortInUse, kStyleExclamation);
        if (s.log) s.log->Trace(kClassName, "8005 " + error.description, "OpenCom");
      } else {
        service::ReportError(s, "OpenCom", e.record());
      }
      return false;
    }
    const std::string frame = protocol::BuildFrame(s.link.sequence, kProbeCommand, "");
    protocol::SendFrame(s.link, frame);
    const std::string answer = ReadProbeAnswer(s);
    if (!answer.empty() && s.link.trace) {
      s.link.trace(
          [&] { return "<- " + protocol::HexText(answer.substr(0, 1)) + "  probe answer"; });
    }
    if (answer.size() == 1 && answer[0] == protocol::NAK) {
      // What came before the NAK was let go; but the NAK itself may have been owed to the
      // probe of a process that died waiting, with this probe's own NAK still to come: the line
      // must fall quiet before the first command.
      s.link.settle_gap_ms = protocol::kConnectQuietGapMs;
      return true;
    }
    call.SetOutcome(Outcome::kTimeout);
    ErrorRecord error = ProbeFailure(answer, device, baud_rate);
    error.port = device;
    error.speed = baud_rate;
    call.record().error = error;
    if (s.log) s.log->Trace(kClassName, call.record().error->description, "OpenCom");
    ShowMessage("Error opening COM Port!", kStyleCritical);
    if (Host(s)) Host(s)->Com().Close();
    return false;
  } catch (...) {
    const ErrorRecord error = RecordOf(std::current_exception());
    call.Failed(error);
    call.SetOutcome(Outcome::kPortError);
    service::ReportError(s, "OpenCom", error);
    return false;
  }
}

// Closes the port and unloads the host form, if there is one.
bool CloseConnection(NEVState& s) {
  if (!s.link.host) return false;
  if (s.link.host->Com().IsOpen()) s.link.host->Com().Close();
  s.link.host.reset();
  return true;
}

bool InitConnectionTo(NEVState& s, const PortChoice& port, const std::string& port_text,
                      int32_t baud_rate) {
  service::CallScope call(s, "InitConnection");
  CDebugger& log = *s.log;
  log.Information(kClassName, "Entering", "InitConnection");
  log.Information(kClassName, "Port: " + port_text, "InitConnection");
  log.Information(kClassName, "Speed: " + std::to_string(baud_rate), "InitConnection");
  // A connection left open by an earlier call is closed first, so that its port is released.
  CloseConnection(s);
  s.link.host = std::make_unique<protocol::frmMain>();
  const bool result = OpenCom(s, port, baud_rate, call);
  if (!result) log.Warning(kClassName, "InitConenction failed", "InitConnection");
  log.Information(kClassName, "Exiting", "InitConnection");
  return result;
}

// The log hears of a line lost (a warning) and of its recovery, and at its trace level (4) of
// every frame and control byte, under the member that sent or awaited it.
void NoteLineChanges(NEVState& s) {
  NEVState* state = &s;
  s.link.note = [state](bool lost, const std::string& text) {
    if (!state->log) return;
    if (lost) {
      state->log->Warning(kClassName, text, "Exchange");
    } else {
      state->log->Information(kClassName, text, "Exchange");
    }
  };
  s.link.trace = [state](const std::function<std::string()>& text) {
    if (!state->log || state->log->Level() < 4) return;
    state->log->Trace(kClassName, text(),
                      state->current ? state->current->record.member : "Exchange");
  };
}

}  // namespace

NEV::NEV() : NEV(NEVOptions{}) {}

NEV::NEV(const std::string& log_base_folder) : NEV(NEVOptions{log_base_folder, false}) {}

NEV::NEV(const NEVOptions& options) : state_(std::make_unique<NEVState>()) {
  protocol::TimeoutInterval() = 3000;
  // No folder given: beside the module, or in the user's state folder when that takes no file.
  state_->log = options.log_base_folder.empty()
                    ? std::make_unique<CDebugger>()
                    : std::make_unique<CDebugger>(LogClock::System(), options.log_base_folder);
  state_->log_created = true;
  state_->log->Level(3);
  state_->lossy_text = options.lossy_text;
  NoteLineChanges(*state_);
}

int32_t NEV::MaxWait() const {
  return protocol::MaxWaitMs(state_->link);
}

void NEV::MaxWait(int32_t ms) {
  state_->link.max_wait_ms = ms > 0 ? ms : 0;
}

int32_t NEV::ReplyTimeout() const {
  return protocol::TimeoutInterval();
}

void NEV::ReplyTimeout(int32_t ms) {
  protocol::TimeoutInterval() = static_cast<int16_t>(ms >= 1 && ms <= 30000 ? ms : 3000);
}

NEV::~NEV() {
  CloseConnection(*state_);
  if (state_->log_created) state_->log.reset();
}

bool NEV::SilentMode() const {
  return state_->silent_mode;
}
void NEV::SilentMode(bool value) {
  state_->silent_mode = value;
}

const CallRecord& NEV::LastCall() const {
  return state_->last_call;
}

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kAnswered:
      return "answered";
    case Outcome::kRefused:
      return "refused";
    case Outcome::kNak:
      return "nak";
    case Outcome::kTimeout:
      return "timeout";
    case Outcome::kPortError:
      return "port-error";
    case Outcome::kBusy:
      return "busy";
    case Outcome::kNoConnection:
      return "no-connection";
    case Outcome::kBadArgument:
      return "bad-argument";
  }
  return "unknown";
}

LogSettings& NEV::Log() {
  return *state_->log;
}

void NEV::LogWarning(const std::string& member, const std::string& text) {
  if (state_->log) state_->log->Warning(kClassName, text, member);
}

std::shared_ptr<MessageSink> NEV::SetMessageSink(std::shared_ptr<MessageSink> sink) {
  std::swap(state_->sink, sink);
  return sink;
}

bool NEV::InitConnection(int32_t Port, int32_t BaudRate, int32_t /*StopBits*/, int32_t /*Parity*/,
                         int32_t /*ByteSize*/) {
  return InitConnectionTo(*state_, PortChoice{Port, {}, {}, {}}, std::to_string(Port), BaudRate);
}

bool NEV::InitConnection(const std::string& port, int32_t BaudRate) {
  const PortChoice choice = ChoiceOf(port);
  return InitConnectionTo(*state_, choice, choice.refused.empty() ? port : choice.shown, BaudRate);
}

bool NEV::Connected() const {
  return state_->link.host && state_->link.host->Com().IsOpen();
}

std::string NEV::ConnectedPort() const {
  return Connected() ? state_->link.device : std::string();
}

int32_t NEV::ConnectedSpeed() const {
  if (!Connected()) return 0;
  return static_cast<int32_t>(std::atol(state_->link.settings.c_str()));
}

bool NEV::StopConnection() {
  service::CallScope call(*state_, "StopConnection");
  CDebugger& log = *state_->log;
  log.Information(kClassName, "entering", "StopConnection");
  const bool closed = CloseConnection(*state_);
  if (!closed) call.SetOutcome(Outcome::kNoConnection);
  log.Information(kClassName, "exiting", "StopConnection");
  return closed;
}

}  // namespace nev
