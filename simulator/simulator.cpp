#include "nevsim/simulator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "device.h"
#include "durable.h"
#include "line.h"
#include "paper.h"
#include "protocol.h"
#include "text.h"

namespace nevsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr size_t kMaxFrames = 200000;
constexpr size_t kMaxRaw = 16u << 20;
constexpr int kDriverTimeoutMs = 3000;  // the driver's reply time-out
constexpr int kHangUpPauseMs = 300;     // how long a hung-up line stays away

struct Faults {
  bool silent = false;
  std::set<int> nak;
  std::string garbage;
  int split_bytes = 0, split_pause_ms = 0;
  int syn_count = 0, syn_interval_ms = 0;
  int delay_ms = 0;
  bool drop = false;
  int late_once_ms = -1;  // the next command's answer comes this long after the time-out
  int hangup_after = -1;  // answers left before the line hangs up mid-reply and comes back
  std::map<int, std::string> override_data;
  bool force_status = false;
  uint8_t forced[3] = {0x80, 0x80, 0x80};
};

// Data bytes for a trace: printable text as it is (Cyrillic shown in UTF-8), the rest escaped.
std::string Printable(const std::string& bytes) {
  std::string out;
  char buf[8];
  for (unsigned char c : bytes) {
    if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F || c == 0x98) {
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += Cp1251ToUtf8(std::string(1, static_cast<char>(c)));
    }
  }
  return out;
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(Options o)
      : opt(std::move(o)),
        paper(opt.paper_width),
        device(paper),
        parser(milliseconds(opt.frame_gap_ms > 0 ? opt.frame_gap_ms : 500)) {}

  Options opt;
  mutable std::mutex mu;  // guards everything below but the line and the thread
  mutable std::condition_variable recorded;
  std::vector<Received> frames;
  std::string raw_in, raw_out;
  nevsim::Paper paper;
  Device device;
  Faults faults;
  AnswerFaults answer_faults;
  StateFile state;
  bool paper_attached = false;

  Line line;
  std::thread thread;
  std::atomic<bool> stopping{false}, dropped{false};
  bool running = false;
  std::string link_made;
  FrameParser parser;
  uint8_t last_seq = 0x20;

  void Trace(const std::string& text) {
    if (!opt.trace) return;
    std::lock_guard<std::mutex> lock(trace_mu);
    std::fprintf(stderr, "nev-sim %s\n", text.c_str());
    std::fflush(stderr);
  }
  std::mutex trace_mu;

  void Serve();
  // One event from the line: recorded, decided (faults first, then the device), delivered.
  struct Decision {
    Faults faults;        // the faults in force for this answer
    Answer answer;        // what the device (or a fault) says
    std::string bytes;    // the answer as it goes on the line
    bool silent = false;  // no answer at all
    bool power_cut = false, lost = false;
  };
  void Handle(const LineEvent& e);
  void Record(const LineEvent& e);  // with mu held
  Decision Decide(const LineEvent& e);
  void Deliver(const LineEvent& e, const Decision& d);
  bool HangUpMidReply(const std::string& answer);
  void Replay();
  void PowerCut();
  bool Send(const std::string& bytes);
  bool Pause(int ms) { return ms <= 0 || line.SleepUntil(Clock::now() + milliseconds(ms)); }
};

void Simulator::Impl::Serve() {
  std::vector<LineEvent> events;
  char buf[4096];
  while (!stopping && !dropped) {
    Clock::time_point deadline = Clock::time_point::max();
    parser.Deadline(deadline);
    auto w = line.WaitInput(deadline);
    if (w == Line::kWoken) break;
    events.clear();
    if (w == Line::kGone) {
      dropped = true;
      Trace("line gone");
      break;
    }
    if (w == Line::kReadable) {
      long n = line.Read(buf, sizeof buf);
      if (n < 0) {
        dropped = true;
        Trace("line gone");
        break;
      }
      const auto now = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mu);
        raw_in.append(buf, static_cast<size_t>(n));
        if (raw_in.size() > kMaxRaw) raw_in.erase(0, raw_in.size() - kMaxRaw / 2);
      }
      // Bytes sent at another speed than the device's arrive as noise: framing errors, bits
      // shifted into the high half. Noise never starts a frame nor asks for the next piece.
      const bool noise = opt.line_speed > 0 && line.PeerSpeed() != opt.line_speed;
      if (noise) Trace("<- " + std::to_string(n) + " bytes at another line speed (noise)");
      for (long i = 0; i < n; ++i) {
        const auto byte = static_cast<uint8_t>(buf[i]);
        parser.Feed(noise ? static_cast<uint8_t>(0x80 | (byte >> 1)) : byte, now, events);
      }
    }
    parser.Expire(Clock::now(), events);
    for (const LineEvent& e : events) {
      if (stopping || dropped) break;
      Handle(e);
    }
  }
}

void Simulator::Impl::Handle(const LineEvent& e) {
  Decision d = Decide(e);
  if (d.silent) {
    Trace("   (silent: no answer)");
    return;
  }
  if (d.power_cut) return PowerCut();
  if (d.lost) {
    Trace("   (executed; answer lost)");
    return;
  }
  Deliver(e, d);
}

void Simulator::Impl::Record(const LineEvent& e) {
  Received rec;
  rec.raw = e.raw;
  rec.framed = e.kind == LineEvent::kFrame;
  rec.seq = e.seq;
  rec.cmd = e.kind == LineEvent::kNextPiece ? kNext : e.cmd;
  rec.data = e.data;
  if (e.kind == LineEvent::kNextPiece) {
    Trace("<- 4E  N (next fiscal-memory piece)");
  } else if (e.kind == LineEvent::kBadFrame) {
    Trace("<- " + Hex(e.raw) + "  malformed frame: " + e.why);
  } else {
    char head[64];
    std::snprintf(head, sizeof head, "  %s (0x%02X) seq %02X data \"", CommandName(e.cmd), e.cmd,
                  e.seq);
    Trace("<- " + Hex(e.raw) + head + Printable(e.data) + "\"");
  }
  frames.push_back(rec);
  // A program serving for days keeps only the recent part of its record.
  if (frames.size() > kMaxFrames) frames.erase(frames.begin(), frames.begin() + kMaxFrames / 2);
  recorded.notify_all();
}

// What to answer: the injected faults first, then the device itself.
Simulator::Impl::Decision Simulator::Impl::Decide(const LineEvent& e) {
  std::lock_guard<std::mutex> lock(mu);
  Record(e);
  Decision d;
  Faults& f = d.faults;
  f = faults;
  faults.drop = false;  // one-shot
  // One-shot faults that count answers leave the probe (0xFF) alone.
  const bool probe = e.kind == LineEvent::kFrame && e.cmd == kProbe;
  if (probe) {
    f.late_once_ms = -1;
    f.hangup_after = -1;
  } else {
    faults.late_once_ms = -1;
    if (faults.hangup_after >= 0) --faults.hangup_after;
  }
  if (f.silent) {
    d.silent = true;
    return d;
  }
  Answer& ans = d.answer;
  const int key = e.kind == LineEvent::kNextPiece ? kNext : e.cmd;
  if (e.kind == LineEvent::kBadFrame) {
    ans.kind = Answer::kNak;
    ans.note = e.why;
  } else if (f.nak.count(key)) {
    ans.kind = Answer::kNak;
    ans.note = "injected NAK";
  } else {
    if (e.kind == LineEvent::kFrame) last_seq = e.seq;
    ans = e.kind == LineEvent::kNextPiece ? device.NextPiece() : device.Command(e.cmd, e.data);
    if (e.kind == LineEvent::kFrame) {
      state.Record(e.cmd, e.data, ans);
      d.power_cut = answer_faults.PowerCut(key);
      d.lost = !d.power_cut && answer_faults.TakeLose(key);
    }
    auto ov = f.override_data.find(key);
    if (ov != f.override_data.end()) {
      ans.kind = Answer::kFrame;
      ans.data = ov->second;
      ans.status = device.Status(false);
    } else {
      ans.data = SafeReplyData(ans.data);
    }
  }
  if (ans.kind == Answer::kAck) {
    d.bytes = std::string(1, static_cast<char>(kAck));
  } else if (ans.kind == Answer::kNak) {
    d.bytes = std::string(1, static_cast<char>(kNak));
  } else {
    uint8_t status[3] = {ans.status[0], ans.status[1], ans.status[2]};
    if (f.force_status)
      for (int i = 0; i < 3; ++i) status[i] = f.forced[i];
    d.bytes = BuildReply(e.kind == LineEvent::kNextPiece ? last_seq : e.seq,
                         static_cast<uint8_t>(key), ans.data, status);
  }
  return d;
}

// Puts the answer on the line: no faster than the baud rate, SYNs during a long report, then the
// delivery faults (delays, garbage, a hang-up, a drop or a split reply).
void Simulator::Impl::Deliver(const LineEvent& e, const Decision& d) {
  const Faults& f = d.faults;
  const Answer& ans = d.answer;
  const std::string& answer = d.bytes;
  if (opt.baud > 0) {
    const auto ready =
        e.start + std::chrono::nanoseconds(10'000'000'000LL / opt.baud * e.raw.size());
    if (!line.SleepUntil(ready)) return;
  }
  if (ans.long_op) {
    const auto start = Clock::now();
    const auto end = start + milliseconds(opt.long_op_ms);
    const auto step = milliseconds(opt.syn_interval_ms > 0 ? opt.syn_interval_ms : 500);
    for (auto next = start + step; next < end; next += step) {
      if (!line.SleepUntil(next)) return;
      Trace("-> 16  SYN (report running)");
      if (!Send(std::string(1, static_cast<char>(kSyn)))) return;
    }
    if (!line.SleepUntil(end)) return;
  }
  if (!Pause(f.delay_ms)) return;
  if (f.late_once_ms >= 0 && !Pause(kDriverTimeoutMs + f.late_once_ms)) return;
  for (int i = 0; i < f.syn_count; ++i) {
    if (!Send(std::string(1, static_cast<char>(kSyn)))) return;
    if (i + 1 < f.syn_count && !Pause(f.syn_interval_ms)) return;
  }
  if (!f.garbage.empty() && !Send(f.garbage)) return;

  std::string what = ans.kind == Answer::kAck ? "ACK" : ans.kind == Answer::kNak ? "NAK" : "frame";
  if (!ans.note.empty()) what += " (" + ans.note + ")";
  Trace("-> " + Hex(answer) + "  " + what +
        (ans.kind == Answer::kFrame ? " data \"" + Printable(ans.data) + "\"" : std::string()));

  if (f.hangup_after == 0) {
    HangUpMidReply(answer);
    return;
  }
  if (f.drop) {
    Send(answer.substr(0, answer.size() / 2));
    dropped = true;
    line.Drop();
    Trace("   line dropped mid-reply");
    return;
  }
  if (f.split_bytes > 0) {
    for (size_t at = 0; at < answer.size(); at += f.split_bytes) {
      if (at > 0 && !Pause(f.split_pause_ms)) return;
      if (!Send(answer.substr(at, f.split_bytes))) return;
    }
    return;
  }
  Send(answer);
}

// Half the answer, then the line goes away (an adapter pulled out) and, after a pause, a new
// pseudo-terminal takes its place behind the same link.
bool Simulator::Impl::HangUpMidReply(const std::string& answer) {
  Send(answer.substr(0, answer.size() / 2));
  Trace("   line hung up mid-reply");
  line.Drop();
  if (!Pause(kHangUpPauseMs)) return false;
  try {
    std::lock_guard<std::mutex> lock(mu);  // SlavePath() reads the path from other threads
    line.Reopen(opt.baud);
  } catch (const std::exception& e) {
    Trace(std::string("   line not back: ") + e.what());
    dropped = true;
    return false;
  }
  parser.Reset();
  if (!link_made.empty()) {
    unlink(link_made.c_str());
    if (symlink(line.Path().c_str(), link_made.c_str()) != 0) Trace("   cannot relink");
  }
  Trace("   line back as " + line.Path());
  return true;
}

bool Simulator::Impl::Send(const std::string& bytes) {
  if (bytes.empty()) return true;
  {
    std::lock_guard<std::mutex> lock(mu);
    raw_out += bytes;
    if (raw_out.size() > kMaxRaw) raw_out.erase(0, raw_out.size() - kMaxRaw / 2);
  }
  if (line.Write(bytes, opt.baud)) return true;
  if (!stopping) {
    dropped = true;
    Trace("line gone");
  }
  return false;
}

// The device as it was before the power went: its memory replayed, nothing printed again.
void Simulator::Impl::Replay() {
  if (opt.state_path.empty()) return;
  for (const auto& [cmd, data] : state.Open(opt.state_path)) device.Command(cmd, data);
}

void Simulator::Impl::PowerCut() {
  Trace("   power cut: no answer");
  if (opt.exit_on_power_cut) _exit(0);
  dropped = true;
  line.Drop();
}

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  if (!impl_->opt.serial.empty()) impl_->device.SetSerial(impl_->opt.serial);
  impl_->Replay();
  if (impl_->opt.paper_lines >= 0) impl_->paper.RunOutAfter(impl_->opt.paper_lines);
}

Simulator::~Simulator() {
  Stop();
}

void Simulator::Start() {
  Impl& m = *impl_;
  if (m.running) return;
  if (!m.paper_attached) {
    std::lock_guard<std::mutex> lock(m.mu);
    if (m.opt.state_path.empty()) {
      m.paper.Attach(m.opt.paper_path, m.opt.paper_to_stdout);
    } else {
      m.paper.AttachAppending(m.opt.paper_path, m.opt.paper_to_stdout);
    }
    m.paper_attached = true;
  }
  m.line.Open(m.opt.device, m.opt.baud);
  if (!m.opt.link_path.empty()) {
    struct stat st {};
    if (lstat(m.opt.link_path.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        m.line.Close();
        throw std::runtime_error(m.opt.link_path + " exists and is not a symbolic link");
      }
      unlink(m.opt.link_path.c_str());
    }
    if (symlink(m.line.Path().c_str(), m.opt.link_path.c_str()) != 0) {
      m.line.Close();
      throw std::runtime_error("cannot make the link " + m.opt.link_path);
    }
    m.link_made = m.opt.link_path;
  }
  m.stopping = false;
  m.dropped = false;
  m.parser.Reset();
  m.running = true;
  m.thread = std::thread([&m] { m.Serve(); });
}

void Simulator::Stop() {
  Impl& m = *impl_;
  if (!m.running) return;
  m.stopping = true;
  m.line.Wake();
  if (m.thread.joinable()) m.thread.join();
  m.line.Close();
  if (!m.link_made.empty()) {
    char target[256];
    ssize_t n = readlink(m.link_made.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == m.line.Path())
      unlink(m.link_made.c_str());
    m.link_made.clear();
  }
  m.running = false;
}

std::string Simulator::SlavePath() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->line.Path();
}

std::vector<Received> Simulator::Frames() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->frames;
}

std::string Simulator::RawInput() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->raw_in;
}

std::string Simulator::RawOutput() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->raw_out;
}

void Simulator::ClearRecord() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->frames.clear();
  impl_->raw_in.clear();
  impl_->raw_out.clear();
}

bool Simulator::WaitForFrames(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->recorded.wait_for(lock, milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                  [&] { return impl_->frames.size() >= n; });
}

std::string Simulator::Paper() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->paper.Text();
}

Simulator::Totals Simulator::CurrentTotals() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->device.Totals();
}

void Simulator::SetSilent(bool silent) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.silent = silent;
}

void Simulator::NakCommand(int cmd) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.nak.insert(cmd);
}

void Simulator::GarbageBeforeReplies(std::string bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.garbage = std::move(bytes);
}

void Simulator::SplitReplies(int piece_bytes, int pause_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.split_bytes = piece_bytes > 0 ? piece_bytes : 0;
  impl_->faults.split_pause_ms = pause_ms > 0 ? pause_ms : 0;
}

void Simulator::SynStorm(int count, int interval_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.syn_count = count > 0 ? count : 0;
  impl_->faults.syn_interval_ms = interval_ms > 0 ? interval_ms : 0;
}

void Simulator::DelayReplies(int delay_ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.delay_ms = delay_ms > 0 ? delay_ms : 0;
}

void Simulator::AnswerLateOnce(int ms_after_timeout) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.late_once_ms = ms_after_timeout > 0 ? ms_after_timeout : 0;
}

void Simulator::HangUpAfter(int answers) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.hangup_after = answers > 0 ? answers : 0;
}

void Simulator::SetPaperOut(bool out) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->device.SetPaperOut(out);
}

void Simulator::DropLineMidReply() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.drop = true;
}

void Simulator::OverrideReply(int cmd, std::string data) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.override_data[cmd] = std::move(data);
}

void Simulator::ForceStatus(uint8_t b0, uint8_t b1, uint8_t b2) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults.force_status = true;
  impl_->faults.forced[0] = b0 | 0x80;
  impl_->faults.forced[1] = b1 | 0x80;
  impl_->faults.forced[2] = b2 | 0x80;
}

void Simulator::LoseAnswer(int cmd, int times) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->answer_faults.LoseAnswer(cmd, times);
}

void Simulator::PowerCutAfter(int cmd) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->answer_faults.PowerCutAfter(cmd);
}

void Simulator::PaperRunsOutAfter(long lines) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->paper.RunOutAfter(lines);
}

void Simulator::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults = Faults{};
  impl_->answer_faults.Clear();
  impl_->paper.RunOutAfter(-1);
  impl_->device.SetPaperOut(false);
}

void Simulator::SetOperatorPassword(int op, std::string password) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->device.SetOperatorPassword(op, password);
}

bool Simulator::LineDropped() const {
  return impl_->dropped;
}

}  // namespace nevsim
