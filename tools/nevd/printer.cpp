#include "printer.h"

#include <atomic>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <random>

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

std::string RandomId() {
  static std::mutex m;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard<std::mutex> lock(m);
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
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

Reply Unavailable(const std::string& message) {
  return {503, {{"error", {{"code", "printer-unavailable"}, {"message", message}}}}};
}

}  // namespace

void InstallMessageLog() {
  nev::SetMessageSink(std::make_shared<StderrSink>());
}

const char* TaskStateName(Task::State state) {
  switch (state) {
    case Task::kQueued:
      return "queued";
    case Task::kRunning:
      return "running";
    case Task::kDone:
      return "done";
  }
  return "done";
}

std::shared_ptr<Task> TaskStore::Create(const std::string& printer, const std::string& kind) {
  auto task = std::make_shared<Task>();
  task->id = "t-" + RandomId();
  task->printer = printer;
  task->kind = kind;
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_[task->id] = task;
  return task;
}

std::shared_ptr<Task> TaskStore::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tasks_.find(id);
  return it == tasks_.end() ? nullptr : it->second;
}

void TaskStore::SetState(Task& task, Task::State state) {
  std::lock_guard<std::mutex> lock(mutex_);
  task.state = state;
  changed_.notify_all();
}

void TaskStore::Finish(Task& task, Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  task.reply = std::move(reply);
  task.state = Task::kDone;
  finished_.push_back(task.id);
  Prune();
  changed_.notify_all();
}

void TaskStore::Prune() {
  constexpr std::size_t kKeep = 10000;
  while (finished_.size() > kKeep) {
    tasks_.erase(finished_.front());
    finished_.pop_front();
  }
}

bool TaskStore::Wait(const Task& task, std::chrono::milliseconds wait) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return task.state == Task::kDone || waits_ended_; });
  return task.state == Task::kDone;
}

void TaskStore::EndWaits() {
  std::lock_guard<std::mutex> lock(mutex_);
  waits_ended_ = true;
  changed_.notify_all();
}

json TaskStore::Describe(const Task& task) const {
  std::lock_guard<std::mutex> lock(mutex_);
  json j = {{"id", task.id},
            {"printer", task.printer},
            {"kind", task.kind},
            {"state", TaskStateName(task.state)},
            {"href", "/api/v1/tasks/" + task.id}};
  if (task.state == Task::kDone) {
    j["status"] = task.reply.status;
    j["result"] = task.reply.body;
  }
  return j;
}

Printer::Printer(PrinterConfig config, const Config& service, TaskStore& tasks)
    : config_(std::move(config)),
      probe_seconds_(service.probe_seconds),
      max_backoff_seconds_(service.max_backoff_seconds),
      tasks_(tasks) {
  config_.journal = JournalPath(config_);
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

bool Printer::Enqueue(std::shared_ptr<Task> task, Job job, std::string& why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    why = "the service is stopping";
    return false;
  }
  if (state_ != "online") {
    why =
        "printer " + config_.id + " is " + state_ + (last_error_.empty() ? "" : ": " + last_error_);
    return false;
  }
  if (!task->key.empty()) in_flight_[task->key] = task;
  queue_.push_back({std::move(task), std::move(job)});
  wake_.notify_all();
  return true;
}

std::shared_ptr<Task> Printer::InFlight(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = in_flight_.find(key);
  return it == in_flight_.end() ? nullptr : it->second;
}

void Printer::Release(std::chrono::milliseconds time) {
  std::lock_guard<std::mutex> lock(mutex_);
  release_until_ = Clock::now() + time;
  release_pending_ = true;
  wake_.notify_all();
}

json Printer::Describe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  json j = {{"id", config_.id},       {"port", config_.port},
            {"baud", config_.baud},   {"simulated", config_.simulated()},
            {"state", state_},        {"online", state_ == "online"},
            {"since", since_},        {"queue", queue_.size()},
            {"jobsDone", jobs_done_}, {"status", status_},
            {"device", device_info_}};
  j["lastError"] = last_error_.empty() ? json(nullptr) : json(last_error_);
  if (state_ == "released") {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(release_until_ - Clock::now());
    j["releasedForSeconds"] = std::max<long>(0, left.count()) / 1000.0;
  }
  return j;
}

std::string Printer::Paper() const {
  return sim_ ? sim_->Paper() : std::string();
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
  bool ok = false;
  if (!config_.simulated() && !config_.port.empty() &&
      config_.port.find_first_not_of("0123456789") == std::string::npos &&
      config_.port.size() < 4) {
    ok = nev.InitConnection(std::stoi(config_.port), config_.baud, 1, 0, 8);
  } else {
    ok = nev.InitConnection(device_, config_.baud);
  }
  if (!ok) {
    nev.StopConnection();  // a port opened without a device answering is never held
    return false;
  }
  Probe(nev);
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == "online";
}

void Printer::GoOffline(nev::NEV& nev, const std::string& why) {
  nev.StopConnection();
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ == "online") {
    std::cerr << "nevd: printer " << config_.id << " offline: " << why << "\n";
    since_ = nev::receipt::UtcTimestamp();
  }
  if (state_ != "released") state_ = "offline";
  last_error_ = why;
}

void Printer::Probe(nev::NEV& nev) {
  const int32_t code = nev.GetStatus();
  const nev::CallRecord& call = nev.LastCall();
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
  json info = nullptr;
  bool need_info;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    need_info = state_ != "online" || device_info_.is_null();
  }
  if (need_info) {
    const std::string text = nev.ECRInfo();
    if (!text.empty()) info = {{"info", text}};
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_ != "online") {
    std::cerr << "nevd: printer " << config_.id << " online on " << device_ << "\n";
    since_ = nev::receipt::UtcTimestamp();
  }
  state_ = "online";
  last_error_.clear();
  status_ = status;
  if (!info.is_null()) device_info_ = info;
}

bool Printer::Settle(nev::NEV& nev, nev::receipt::Journal& journal,
                     const nev::receipt::Line& line) {
  try {
    nev::receipt::Policy policy;
    policy.shared = config_.shared;
    for (const nev::receipt::Result& r : nev::receipt::Settle(nev, line, journal, policy)) {
      std::cerr << "nevd: printer " << config_.id << ": unfinished " << r.id << " settled as "
                << nev::receipt::StateName(r.state) << "\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "nevd: printer " << config_.id << ": settling the journal failed: " << e.what()
              << "\n";
  }
  const nev::Outcome last = nev.LastCall().outcome;
  if (last == nev::Outcome::kPortError || last == nev::Outcome::kTimeout ||
      last == nev::Outcome::kNoConnection) {
    Probe(nev);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == "online";
}

void Printer::Run() {
  tl_printer = config_.id;
  std::unique_ptr<nev::NEV> nev;
  if (config_.log_dir.empty()) {
    nev = std::make_unique<nev::NEV>();
  } else {
    std::error_code ec;
    std::filesystem::create_directories(config_.log_dir, ec);
    nev = std::make_unique<nev::NEV>(config_.log_dir);
  }
  nev->SilentMode(true);
  std::unique_ptr<nev::receipt::Journal> journal;
  try {
    journal = std::make_unique<nev::receipt::Journal>(config_.journal);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = "failed";
    last_error_ = std::string("journal: ") + e.what();
    std::cerr << "nevd: printer " << config_.id << ": " << last_error_ << "\n";
  }
  const nev::receipt::Line line{device_, config_.baud};
  nev::receipt::Policy policy;
  policy.shared = config_.shared;
  double backoff = 0.25;
  auto next_try = Clock::now();
  auto next_probe = Clock::now() + std::chrono::duration<double>(probe_seconds_);

  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (state_ == "failed") {
      wake_.wait(lock, [&] { return stopping_; });
      break;
    }
    if (release_pending_) {
      release_pending_ = false;
      while (!queue_.empty()) {  // work queued before the release is not kept waiting
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (!q.task->key.empty()) in_flight_.erase(q.task->key);
        lock.unlock();
        tasks_.Finish(*q.task, Unavailable("printer " + config_.id + " was released"));
        lock.lock();
      }
      state_ = "released";
      last_error_ = "released to another program";
      since_ = nev::receipt::UtcTimestamp();
      lock.unlock();
      nev->StopConnection();
      std::cerr << "nevd: printer " << config_.id << " released\n";
      lock.lock();
      continue;
    }
    if (state_ == "released") {
      if (Clock::now() < release_until_) {
        wake_.wait_until(lock, release_until_);
        continue;
      }
      state_ = "connecting";
      last_error_.clear();
      backoff = 0.25;
      next_try = Clock::now();
    }
    if (state_ != "online") {
      // Not connected: nothing may wait in the queue for it.
      while (!queue_.empty()) {
        Queued q = std::move(queue_.front());
        queue_.pop_front();
        if (!q.task->key.empty()) in_flight_.erase(q.task->key);
        lock.unlock();
        tasks_.Finish(*q.task, Unavailable("printer " + config_.id + " went offline"));
        lock.lock();
      }
      if (Clock::now() < next_try) {
        wake_.wait_until(lock, next_try);
        continue;
      }
      lock.unlock();
      const bool ok = Connect(*nev) && Settle(*nev, *journal, line);
      lock.lock();
      if (ok) {
        backoff = 0.25;
        next_probe = Clock::now() + std::chrono::duration<double>(probe_seconds_);
      } else {
        if (state_ != "released") state_ = "offline";
        if (last_error_.empty()) last_error_ = "the port could not be opened";
        next_try = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(backoff));
        backoff = std::min(backoff * 2, max_backoff_seconds_);
      }
      continue;
    }
    if (queue_.empty()) {
      if (Clock::now() >= next_probe) {
        lock.unlock();
        RotateLog(*nev);
        Probe(*nev);
        lock.lock();
        next_probe = Clock::now() + std::chrono::duration<double>(probe_seconds_);
        next_try = Clock::now();
        continue;
      }
      wake_.wait_until(lock, next_probe);
      continue;
    }
    Queued q = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    tasks_.SetState(*q.task, Task::kRunning);
    RotateLog(*nev);
    Reply reply;
    try {
      JobContext ctx{*nev, *journal, line, policy};
      reply = q.job(ctx);
    } catch (const std::exception& e) {
      reply = {500, {{"error", {{"code", "internal"}, {"message", e.what()}}}}};
    }
    // A job that met a dead line makes the printer prove it is still there.
    const nev::Outcome last = nev->LastCall().outcome;
    if (last == nev::Outcome::kPortError || last == nev::Outcome::kTimeout ||
        last == nev::Outcome::kNoConnection) {
      Probe(*nev);
    }
    lock.lock();
    ++jobs_done_;
    if (!q.task->key.empty()) {
      auto it = in_flight_.find(q.task->key);
      if (it != in_flight_.end() && it->second == q.task) in_flight_.erase(it);
    }
    lock.unlock();
    tasks_.Finish(*q.task, std::move(reply));
    next_probe = Clock::now() + std::chrono::duration<double>(probe_seconds_);
    next_try = Clock::now();
    lock.lock();
  }
  // Stopping: whatever still waits is answered.
  while (!queue_.empty()) {
    Queued q = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    tasks_.Finish(*q.task, Unavailable("the service is stopping"));
    lock.lock();
  }
  lock.unlock();
  nev->StopConnection();
}

}  // namespace nevd
