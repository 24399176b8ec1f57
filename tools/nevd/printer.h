// One printer of the service: a worker thread that owns the printer's NEV object and journal and
// runs its jobs one after another from a FIFO queue, and supervises the line (reopens it with
// backoff when the printer drops off, lets it go for a while on request). The worker is a state
// machine: connecting -> online <-> offline, released for a while on request, failed when its
// journal cannot be opened.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "config.h"
#include "tasks.h"

namespace nev {
class NEV;
namespace receipt {
class Journal;
struct Line;
struct Policy;
}  // namespace receipt
}  // namespace nev
namespace nevsim {
class Simulator;
}

namespace nevd {

enum class PrinterState { kConnecting, kOnline, kOffline, kReleased, kFailed };
// "connecting", "online", "offline", "released", "failed".
const char* Name(PrinterState state);

// Sends the driver's message boxes to standard error, each line naming the printer whose worker
// showed it.
void InstallMessageLog();

// What a job gets on the worker thread.
struct JobContext {
  nev::NEV& nev;
  nev::receipt::Journal& journal;
  const nev::receipt::Line& line;
  const nev::receipt::Policy& policy;
};

class Printer {
 public:
  using Job = std::function<Reply(JobContext&)>;

  Printer(PrinterConfig config, const Config& service, TaskStore& tasks);
  ~Printer();  // stops the worker; queued tasks end with 503
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  const std::string& id() const { return config_.id; }
  // Queues a job for the task and stores the task in the TaskStore. False, with nothing queued
  // nor stored, when the printer cannot take work now: offline, released, or stopping; why says
  // which.
  bool Enqueue(std::shared_ptr<Task> task, Job job, std::string& why);
  // Whether Enqueue would take work now; why says why not.
  bool Accepting(std::string& why) const;
  // The task queued or running for an idempotency key, if any; conflict tells whether it prints
  // another document than this one. (A task drops its document when it ends, so the two are
  // compared here, while it is still in flight.)
  std::shared_ptr<Task> InFlight(const std::string& key, const std::string& document,
                                 bool& conflict) const;
  // Closes the port for the given time, then the worker takes the printer back.
  void Release(std::chrono::milliseconds time);
  nlohmann::json Describe() const;
  const PrinterConfig& config() const { return config_; }
  // The line the driver opens: the configured port, or the built-in simulator's.
  const std::string& device() const { return device_; }
  bool simulated() const { return config_.simulated(); }
  // The till roll a simulated printer printed (empty for a real one).
  std::string Paper() const;

 private:
  struct Queued {
    std::shared_ptr<Task> task;
    Job job;
  };
  struct Worker;  // what only the worker thread uses: the NEV, the journal, the timers
  using Lock = std::unique_lock<std::mutex>;

  void Run();
  // One step per state: each is entered with the lock held, does or waits for one thing and
  // returns with the lock held.
  void StepConnecting(Lock& lock, Worker& w);
  void StepOnline(Lock& lock, Worker& w);
  void StepOffline(Lock& lock, Worker& w);
  void StepReleased(Lock& lock, Worker& w);
  void StepFailed(Lock& lock);
  void BeginRelease(Lock& lock, Worker& w);  // ends the queue, closes the port, released
  // Opens the line and settles the journal: online, or offline with the next try backed off.
  void TryConnect(Lock& lock, Worker& w);
  void RunJob(Lock& lock, Worker& w);  // the first queued job
  // Ends every queued task with a 503 saying why; the one way work leaves without running.
  void FailQueued(Lock& lock, const std::string& why);
  void ForgetInFlight(const std::shared_ptr<Task>& task);  // under the lock
  bool Connect(nev::NEV& nev);
  // Settles the journal's unfinished transactions against the device, before any new work runs
  // on it: a duplicate or a report must not meet a receipt left open by an earlier run. False
  // when the printer went offline meanwhile.
  bool Settle(Worker& w);
  void Probe(nev::NEV& nev);  // asks for the status; marks the printer offline when it is gone
  void ProbeIfLineLost(nev::NEV& nev);  // after a call that met a dead line
  void GoOffline(nev::NEV& nev, const std::string& why);
  void RotateLog(nev::NEV& nev);
  bool Is(PrinterState state) const;  // takes the lock

  PrinterConfig config_;
  double probe_seconds_, max_backoff_seconds_;
  TaskStore& tasks_;
  std::unique_ptr<nevsim::Simulator> sim_;
  std::string device_;    // the line the NEV opens
  std::string found_at_;  // serial:NUMBER or auto: where the scan found the device

  bool AcceptingLocked(std::string& why) const;  // under the lock
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Queued> queue_;
  std::map<std::string, std::shared_ptr<Task>> in_flight_;
  bool stopping_ = false;
  PrinterState state_ = PrinterState::kConnecting;
  std::string last_error_;
  nlohmann::json error_ = nullptr;  // the driver's error record of the last failure, or null
  nlohmann::json flags_ = nlohmann::json::array();  // the status flags in words
  std::chrono::steady_clock::time_point release_until_{};
  bool release_pending_ = false;
  nlohmann::json status_ = nullptr, device_info_ = nullptr;
  std::string since_;
  std::string log_day_;
  long jobs_done_ = 0;
  std::thread thread_;
};

}  // namespace nevd
