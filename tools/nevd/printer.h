// One printer of the service: a worker thread that owns the printer's NEV object and journal and
// runs its jobs one after another from a FIFO queue, and supervises the line (reopens it with
// backoff when the printer drops off, lets it go for a while on request).
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

// What a job answers: an HTTP status and a JSON body.
struct Reply {
  int status = 200;
  nlohmann::json body;
  bool replayed = false;  // the recorded result of an earlier submission; nothing was printed
};

// A request accepted for a printer. Its state moves queued -> running -> done.
struct Task {
  enum State { kQueued, kRunning, kDone };
  std::string id, printer, kind;
  std::string key;  // the document id for idempotent work, else empty
  std::string document;
  State state = kQueued;
  Reply reply;
  std::chrono::system_clock::time_point created = std::chrono::system_clock::now();
};
const char* TaskStateName(Task::State state);

// Sends the driver's message boxes to standard error, each line naming the printer whose worker
// showed it.
void InstallMessageLog();

// Every task of the service, by id; tasks wait here for their end. Thread-safe.
class TaskStore {
 public:
  std::shared_ptr<Task> Create(const std::string& printer, const std::string& kind);
  std::shared_ptr<Task> Find(const std::string& id) const;
  void SetState(Task& task, Task::State state);
  void Finish(Task& task, Reply reply);
  // Waits until the task is done, the time has passed or the service stops; true when done.
  bool Wait(const Task& task, std::chrono::milliseconds wait) const;
  // The service is stopping: every wait ends now (its request answers with the task).
  void EndWaits();
  nlohmann::json Describe(const Task& task) const;

 private:
  void Prune();  // keeps the newest finished tasks only
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, std::shared_ptr<Task>> tasks_;
  std::deque<std::string> finished_;
  bool waits_ended_ = false;
};

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
  // Queues a job for the task. False (and nothing queued) when the printer cannot take work
  // now: offline, released, or stopping; why says which.
  bool Enqueue(std::shared_ptr<Task> task, Job job, std::string& why);
  // The in-flight task for an idempotency key, if one is queued or running.
  std::shared_ptr<Task> InFlight(const std::string& key) const;
  // Closes the port for the given time, then the worker takes the printer back.
  void Release(std::chrono::milliseconds time);
  nlohmann::json Describe() const;
  bool simulated() const { return config_.simulated(); }
  // The till roll a simulated printer printed (empty for a real one).
  std::string Paper() const;

 private:
  struct Queued {
    std::shared_ptr<Task> task;
    Job job;
  };
  void Run();
  bool Connect(nev::NEV& nev);
  // Settles the journal's unfinished transactions against the device, before any new work runs
  // on it: a duplicate or a report must not meet a receipt left open by an earlier run. False
  // when the printer went offline meanwhile.
  bool Settle(nev::NEV& nev, nev::receipt::Journal& journal, const nev::receipt::Line& line);
  void Probe(nev::NEV& nev);  // asks for the status; marks the printer offline when it is gone
  void GoOffline(nev::NEV& nev, const std::string& why);
  void RotateLog(nev::NEV& nev);

  PrinterConfig config_;
  double probe_seconds_, max_backoff_seconds_;
  TaskStore& tasks_;
  std::unique_ptr<nevsim::Simulator> sim_;
  std::string device_;  // the line the NEV opens

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Queued> queue_;
  std::map<std::string, std::shared_ptr<Task>> in_flight_;
  bool stopping_ = false;
  std::string state_ = "connecting";  // connecting, online, offline, released, failed
  std::string last_error_;
  std::chrono::steady_clock::time_point release_until_{};
  bool release_pending_ = false;
  nlohmann::json status_ = nullptr, device_info_ = nullptr;
  std::string since_;
  std::string log_day_;
  long jobs_done_ = 0;
  std::thread thread_;
};

}  // namespace nevd
