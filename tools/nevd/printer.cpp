#include "printer.h"

#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>

#include "metrics.h"
#include "nev/message.h"
#include "nev/nev.h"
#include "nev/receipt.h"
#include "nevsim/simulator.h"

namespace nevd {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

std::string LocalDay() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[16];
  std::strftime(buf, sizeof buf, "-%Y-%m-%d", &tm);
  return buf;
}

thread_local std::string tl_printer = "-";

class StderrSink : public nev::MessageSink {
 public:
  void Show(const std::string& text, int style, const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::cerr << "nevd: printer " << tl_printer << ": message (style " << style << "): " << text
              << "\n";
  }

 private:
  std::mutex mutex_;
};

// The driver's error record as the printer's "error" shows it, or null.
json ErrorJson(const std::optional<nev::ErrorRecord>& e) {
  if (!e) return nullptr;
  json j = {{"number", e->number}, {"description", e->description}};
  if (!e->port.empty()) j["port"] = e->port;
  if (e->speed > 0) j["speed"] = e->speed;
  if (!e->remedy.empty()) j["remedy"] = e->remedy;
  return j;
}

// The record in a log line: " (error 8002, port /dev/ttyUSB0, speed 9600)".
std::string ErrorNote(const std::optional<nev::ErrorRecord>& e) {
  if (!e) return {};
  std::string note = " (error " + std::to_string(e->number);
  if (!e->port.empty()) note += ", port " + e->port;
  if (e->speed > 0) note += ", speed " + std::to_string(e->speed);
  return note + ")";
}

Reply Unavailable(const std::string& message) {
  return {503, {{"error", {{"code", "printer-unavailable"}, {"message", message}}}}};
}

struct PrinterStateName {
  PrinterState state;
  const char* name;
};
constexpr PrinterStateName kPrinterStateNames[] = {
    {PrinterState::kConnecting, "connecting"}, {PrinterState::kOnline, "online"},
    {PrinterState::kOffline, "offline"},       {PrinterState::kReleased, "released"},
    {PrinterState::kFailed, "failed"},
};

constexpr double kFirstBackoff = 0.25;  // seconds before the first retry of a lost line

Clock::time_point After(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::unique_ptr<nev::NEV> MakeNev(const std::string& log_dir) {
  if (log_dir.empty()) return std::make_unique<nev::NEV>();
  std::error_code ec;
  std::filesystem::create_directories(log_dir, ec);
  return std::make_unique<nev::NEV>(log_dir);
}

}  // namespace

const char* Name(PrinterState state) {
  for (const PrinterStateName& n : kPrinterStateNames) {
    if (n.state == state) return n.name;
  }
  return "failed";
}

struct Printer::Worker {
  std::unique_ptr<nev::NEV> nev;
  std::unique_ptr<nev::receipt::Journal> journal;
  nev::receipt::Line line;
  nev::receipt::Policy policy;
  double backoff = kFirstBackoff;  // seconds until the next try after this one fails
  Clock::time_point next_try = Clock::now(), next_probe;
};

void InstallMessageLog() {
  nev::SetMessageSink(std::make_shared<StderrSink>());
}

Printer::Printer(PrinterConfig config, const Config& service, TaskStore& tasks)
    : config_(std::move(config)),
      probe_seconds_(service.probe_seconds),
      max_backoff_seconds_(service.max_backoff_seconds),
      tasks_(tasks) {
  if (config_.journal.empty()) {
    // The default journal's folder (the user's state folder) is made when missing; a
    // configured one must exist.
    config_.journal = JournalPath(config_);
    const std::filesystem::path folder = std::filesystem::path(config_.journal).parent_path();
    std::error_code ec;
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  }
  if (config_.simulated()) {
    nevsim::Options options;
    options.baud = config_.sim_pacing;
    sim_ = std::make_unique<nevsim::Simulator>(options);
    sim_->Start();
    device_ = sim_->SlavePath();
  } else {
    device_ = config_.port;
  }
  thread_ = std::thread([this] { Run(); });
}

Printer::~Printer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  sim_.reset();
}

bool Printer::Accepting(std::string& why) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AcceptingLocked(why);
}

bool Printer::AcceptingLocked(std::string& why) const {
  if (stopping_) {
    why = "the service is stopping";
    return false;
  }
  if (state_ != PrinterState::kOnline) {
    why = "printer " + config_.id + " is " + Name(state_) +
          (last_error_.empty() ? "" : ": " + last_error_);
    return false;
  }
  return true;
}

bool Printer::Enqueue(std::shared_ptr<Task> task, Job job, std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!AcceptingLocked(why)) return false;
  if (!task->key.empty()) in_flight_[task->key] = task;
  tasks_.Add(task);
  queue_.push_back({std::move(task), std::move(job)});
  wake_.notify_all();
  return true;
}

std::shared_ptr<Task> Printer::InFlight(const std::string& key, const std::string& document,
                                        bool& conflict) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = in_flight_.find(key);
  if (it == in_flight_.end()) return nullptr;
  conflict = it->second->document != document;
  return it->second;
}

void Printer::Release(std::chrono::milliseconds time) {
  std::lock_guard<std::mutex> lock(mutex_);
  release_until_ = Clock::now() + time;
  release_pending_ = true;
  wake_.notify_all();
}

json Printer::Describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool online = state_ == PrinterState::kOnline;
  json j = {{"id", config_.id},       {"port", config_.port},
            {"baud", config_.baud},   {"simulated", config_.simulated()},
            {"state", Name(state_)},  {"online", online},
            {"since", since_},        {"queue", queue_.size()},
            {"jobsDone", jobs_done_}, {"status", status_},
            {"device", device_info_}};
  j["lastError"] = last_error_.empty() ? json(nullptr) : json(last_error_);
  j["speed"] = config_.baud;
  j["replyTimeoutMs"] = config_.reply_timeout_ms > 0 ? config_.reply_timeout_ms : 3000;
  j["maxWaitMs"] = config_.max_wait_ms > 0 ? json(config_.max_wait_ms) : json(nullptr);
  if (!found_at_.empty()) j["foundAt"] = found_at_;
  j["error"] = error_;
  j["flags"] = flags_;
  if (state_ == PrinterState::kReleased) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(release_until_ - Clock::now());
    j["releasedForSeconds"] = std::max<long>(0, left.count()) / 1000.0;
  }
  return j;
}

std::string Printer::Paper() const {
  return sim_ ? sim_->Paper() : std::string();
}

bool Printer::Is(PrinterState state) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == state;
}

void Printer::RotateLog(nev::NEV& nev) {
  const std::string day = LocalDay();
  if (day != log_day_) {
    log_day_ = day;
    nev.Log().FileNameSuffix(day);
  }
}

bool Printer::Connect(nev::NEV& nev) {
  RotateLog(nev);
  // A port number, a device path, a network line (tcp://, rfc2217://) or the simulator's line:
  // the driver reads the text. A line that cannot be reached is tried again with the backoff.
  // serial:NUMBER and auto are looked up by a scan at every connection, so a device whose
  // adapter got another name after it was lost is found again.
  if (!nev.InitConnection(device_, config_.baud)) {
    // Why, in the driver's words: the port did not open, or it opened and nothing answered.
    const nev::CallRecord call = nev.LastCall();
    const bool scanned = device_ == "auto" || device_.rfind("serial:", 0) == 0;
    const std::string why =
        (scanned                                  ? "the scan found no such device"
         : call.outcome == nev::Outcome::kTimeout ? "the port opened but nothing answered the probe"
                                                  : "the port could not be opened") +
        (call.error ? ": " + call.error->description : std::string());
    nev.StopConnection();  // a port opened without a device answering is never held
    std::lock_guard<std::mutex> lock(mutex_);
    if (why != last_error_) {
      std::cerr << "nevd: printer " << config_.id << ": " << why << ErrorNote(call.error) << "\n";
    }
    last_error_ = why;
    error_ = ErrorJson(call.error);
    return false;
  }
  if (device_ == "auto" || device_.rfind("serial:", 0) == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    found_at_ = nev.ConnectedPort();
  }
  Probe(nev);
  return Is(PrinterState::kOnline);
}

void Printer::GoOffline(nev::NEV& nev, const std::string& why) {
  const std::optional<nev::ErrorRecord> record = nev.LastCall().error;
  nev.StopConnection();
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == PrinterState::kOnline) {
    std::cerr << "nevd: printer " << config_.id << " offline: " << why << ErrorNote(record) << "\n";
    since_ = nev::receipt::UtcTimestamp();
  }
  if (state_ != PrinterState::kReleased) state_ = PrinterState::kOffline;
  last_error_ = why;
  error_ = ErrorJson(record);
}

void Printer::Probe(nev::NEV& nev) {
  const int32_t code = nev.GetStatus();
  const nev::CallRecord& call = nev.LastCall();
  if (call.outcome == nev::Outcome::kTimeout) {
    metrics::Count("nevd_device_timeouts_total", {{"printer", config_.id}});
  }
  if (code == -33 || !call.status) {
    GoOffline(nev, std::string("no answer to the status request (") +
                       nev::OutcomeName(call.outcome) + ")");
    return;
  }
  json status = {{"code", code},
                 {"bytes", *call.status},
                 {"generalError", call.flags.general_error},
                 {"noPaper", call.flags.no_paper},
                 {"fiscalReceiptOpen", call.flags.fiscal_receipt_open},
                 {"nonfiscalReceiptOpen", call.flags.nonfiscal_receipt_open}};
  const json flags = nev::FlagWords(call.flags);  // before ECRInfo takes the call's place
  json info = nullptr;
  bool need_info;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    need_info = state_ != PrinterState::kOnline || device_info_.is_null();
  }
  if (need_info) {
    const std::string text = nev.ECRInfo();
    if (!text.empty()) info = {{"info", text}};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != PrinterState::kOnline) {
    if (!since_.empty()) metrics::Count("nevd_printer_reconnects_total", {{"printer", config_.id}});
    std::cerr << "nevd: printer " << config_.id << " online on " << device_
              << (found_at_.empty() ? "" : " at " + found_at_) << "\n";
    since_ = nev::receipt::UtcTimestamp();
  }
  state_ = PrinterState::kOnline;
  last_error_.clear();
  error_ = nullptr;
  status_ = status;
  flags_ = flags;
  if (!info.is_null()) device_info_ = info;
}

void Printer::ProbeIfLineLost(nev::NEV& nev) {
  if (nev::LineLost(nev.LastCall().outcome)) Probe(nev);
}

bool Printer::Settle(Worker& w) {
  try {
    for (const nev::receipt::Result& r :
         nev::receipt::Settle(*w.nev, w.line, *w.journal, w.policy)) {
      std::cerr << "nevd: printer " << config_.id << ": unfinished " << r.id << " settled as "
                << nev::receipt::StateName(r.state) << "\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "nevd: printer " << config_.id << ": settling the journal failed: " << e.what()
              << "\n";
  }
  ProbeIfLineLost(*w.nev);
  return Is(PrinterState::kOnline);
}

void Printer::Run() {
  tl_printer = config_.id;
  Worker w;
  w.nev = MakeNev(config_.log_dir);
  w.nev->SilentMode(true);
  if (config_.reply_timeout_ms > 0) w.nev->ReplyTimeout(config_.reply_timeout_ms);
  if (config_.max_wait_ms > 0) w.nev->MaxWait(config_.max_wait_ms);
  try {
    w.journal = std::make_unique<nev::receipt::Journal>(config_.journal);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = PrinterState::kFailed;
    last_error_ = std::string("journal: ") + e.what();
    std::cerr << "nevd: printer " << config_.id << ": " << last_error_ << "\n";
  }
  w.line = {device_, config_.baud};
  w.policy.shared = config_.shared;
  w.next_probe = After(probe_seconds_);

  Lock lock(mutex_);
  while (!stopping_) {
    // A release asked for is taken up first, whatever the state (but failed: nothing to let go).
    if (release_pending_ && state_ != PrinterState::kFailed) {
      BeginRelease(lock, w);
      continue;
    }
    switch (state_) {
      case PrinterState::kConnecting:
        StepConnecting(lock, w);
        break;
      case PrinterState::kOnline:
        StepOnline(lock, w);
        break;
      case PrinterState::kOffline:
        StepOffline(lock, w);
        break;
      case PrinterState::kReleased:
        StepReleased(lock, w);
        break;
      case PrinterState::kFailed:
        StepFailed(lock);
        break;
    }
  }
  FailQueued(lock, "the service is stopping");
  lock.unlock();
  w.nev->StopConnection();
}

// Connecting (at the start, and when a release ends): the line is tried at once.
void Printer::StepConnecting(Lock& lock, Worker& w) {
  FailQueued(lock, "printer " + config_.id + " went offline");
  TryConnect(lock, w);
}

// Offline: nothing may wait in the queue for the line; it is tried again once the backoff ends.
void Printer::StepOffline(Lock& lock, Worker& w) {
  FailQueued(lock, "printer " + config_.id + " went offline");
  if (Clock::now() < w.next_try) {
    wake_.wait_until(lock, w.next_try);
    return;
  }
  TryConnect(lock, w);
}

// Online: runs the next job; with none queued, asks for the status every probe_seconds.
void Printer::StepOnline(Lock& lock, Worker& w) {
  if (!queue_.empty()) {
    RunJob(lock, w);
    return;
  }
  if (Clock::now() < w.next_probe) {
    wake_.wait_until(lock, w.next_probe);
    return;
  }
  lock.unlock();
  RotateLog(*w.nev);
  Probe(*w.nev);
  lock.lock();
  w.next_probe = After(probe_seconds_);
  w.next_try = Clock::now();
}

// Released: the port stays closed until the time asked for has passed.
void Printer::StepReleased(Lock& lock, Worker& w) {
  if (Clock::now() < release_until_) {
    wake_.wait_until(lock, release_until_);
    return;
  }
  state_ = PrinterState::kConnecting;
  last_error_.clear();
  w.backoff = kFirstBackoff;
  w.next_try = Clock::now();
}

// Failed (no journal): the printer takes no work until the service stops.
void Printer::StepFailed(Lock& lock) {
  wake_.wait(lock, [&] { return stopping_; });
}

void Printer::BeginRelease(Lock& lock, Worker& w) {
  release_pending_ = false;
  state_ = PrinterState::kReleased;  // first, so no new work comes in meanwhile
  last_error_ = "released to another program";
  since_ = nev::receipt::UtcTimestamp();
  FailQueued(lock, "printer " + config_.id + " was released");  // not kept waiting
  lock.unlock();
  w.nev->StopConnection();
  std::cerr << "nevd: printer " << config_.id << " released\n";
  lock.lock();
}

void Printer::TryConnect(Lock& lock, Worker& w) {
  lock.unlock();
  const bool ok = Connect(*w.nev) && Settle(w);
  lock.lock();
  if (ok) {
    w.backoff = kFirstBackoff;
    w.next_probe = After(probe_seconds_);
    return;
  }
  if (state_ != PrinterState::kReleased) state_ = PrinterState::kOffline;
  if (last_error_.empty()) last_error_ = "the port could not be opened";
  w.next_try = After(w.backoff);
  w.backoff = std::min(w.backoff * 2, max_backoff_seconds_);
}

void Printer::RunJob(Lock& lock, Worker& w) {
  Queued q = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  tasks_.SetState(*q.task, TaskState::kRunning);
  RotateLog(*w.nev);
  Reply reply;
  try {
    JobContext ctx{*w.nev, *w.journal, w.line, w.policy};
    reply = q.job(ctx);
  } catch (const std::exception& e) {
    reply = {500, {{"error", {{"code", "internal"}, {"message", e.what()}}}}};
  }
  if (w.nev->LastCall().outcome == nev::Outcome::kTimeout) {
    metrics::Count("nevd_device_timeouts_total", {{"printer", config_.id}});
  }
  // A job that met a dead line makes the printer prove it is still there.
  ProbeIfLineLost(*w.nev);
  lock.lock();
  ++jobs_done_;
  ForgetInFlight(q.task);
  lock.unlock();
  tasks_.Finish(*q.task, std::move(reply));
  w.next_probe = After(probe_seconds_);
  w.next_try = Clock::now();
  lock.lock();
}

void Printer::FailQueued(Lock& lock, const std::string& why) {
  // The lock is let go while the tasks end, so the loop takes what was queued meanwhile too.
  while (!queue_.empty()) {
    std::deque<Queued> failed;
    failed.swap(queue_);
    for (const Queued& q : failed) ForgetInFlight(q.task);
    lock.unlock();
    for (const Queued& q : failed) tasks_.Finish(*q.task, Unavailable(why));
    lock.lock();
  }
}

void Printer::ForgetInFlight(const std::shared_ptr<Task>& task) {
  if (task->key.empty()) return;
  auto it = in_flight_.find(task->key);
  if (it != in_flight_.end() && it->second == task) in_flight_.erase(it);
}

}  // namespace nevd
