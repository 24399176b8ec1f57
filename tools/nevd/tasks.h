// The service's tasks: a request accepted for a printer, its state and its reply, and the store
// that keeps them (bounded: finished tasks are pruned by age and count) and tells the requests
// waiting for them when they end.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace nevd {

enum class TaskState { kQueued, kRunning, kDone };
enum class TaskKind { kReceipt, kCash, kZ, kDuplicate, kVoidOpen, kJournalAccept, kFmReport };
// "queued", "running", "done".
const char* Name(TaskState state);
// "receipt", "cash", "z", "duplicate", "void-open", "journal-accept", "fm-report".
const char* Name(TaskKind kind);

// The prefix and 16 random hex digits: task ids ("t-"), document ids nevd makes ("nevd-").
std::string RandomId(const std::string& prefix);

// What a job answers: an HTTP status and a JSON body.
struct Reply {
  int status = 200;
  nlohmann::json body;
  bool replayed = false;  // the recorded result of an earlier submission; nothing was printed
};

// At most this many lines of a stream wait for their reader; a job adding more waits.
inline constexpr std::size_t kStreamBacklog = 256;
// A job waiting this long without the reader taking a line gives the stream up.
inline constexpr std::chrono::milliseconds kStreamStall{30000};

// The lines of a streamed result (the FM report): the job adds them, one HTTP reader takes them.
// Thread-safe.
class TaskStream {
 public:
  explicit TaskStream(std::size_t backlog = kStreamBacklog,
                      std::chrono::milliseconds stall = kStreamStall);

  // Adds a line (the JSON dumped, then "\n"); last marks the end. Waits while backlog lines are
  // waiting for the reader. False, with nothing added, when the reader cancelled, when nobody
  // took a line for the stall time (the stream is then cancelled) or after the last line: the
  // job stops.
  bool Add(const nlohmann::json& line, bool last = false);

  struct Chunk {
    std::string text;   // every line waiting, in order
    bool done = false;  // nothing more will come: the last line is in text, or it was cancelled
  };
  // What is there now, without waiting.
  Chunk Take();
  // Runs fn once: now when there are lines or the stream is done, else at the next Add or
  // Cancel. A later call replaces an fn still pending. fn runs outside the stream's lock.
  void OnData(std::function<void()> fn);
  void Cancel();
  bool cancelled() const;

 private:
  std::function<void()> TakeWaiter();  // the pending fn, if any; under the lock

  const std::size_t backlog_;
  const std::chrono::milliseconds stall_;
  mutable std::mutex mutex_;
  std::condition_variable taken_;  // a reader took lines or cancelled
  std::deque<std::string> lines_;
  bool ended_ = false, cancelled_ = false;
  std::function<void()> on_data_;
};

// A request accepted for a printer. Its state moves queued -> running -> done.
struct Task {
  std::string id, printer;
  TaskKind kind = TaskKind::kReceipt;
  std::string key;       // the document id for idempotent work, else empty
  std::string document;  // the document's text while queued or running; dropped when done
  TaskState state = TaskState::kQueued;
  Reply reply;
  std::chrono::system_clock::time_point created, finished;
  std::shared_ptr<TaskStream> stream;  // set for kinds that stream their result
};

// How many finished tasks the store keeps, and for how long: older or further ones are pruned
// when a task finishes. Tasks queued or running are always kept.
struct TaskLimits {
  std::size_t max_finished = 1000;
  std::chrono::seconds max_age{900};
};

// Every task of the service, by id; requests wait here for their task's end. Thread-safe.
class TaskStore {
 public:
  explicit TaskStore(TaskLimits limits = {});

  // A new task with a fresh id, not stored yet: a request refused before its task is queued
  // leaves nothing behind.
  std::shared_ptr<Task> New(const std::string& printer, TaskKind kind) const;
  // Stores the task (the printer does, once it has queued it).
  void Add(std::shared_ptr<Task> task);
  std::shared_ptr<Task> Find(const std::string& id) const;
  void SetState(Task& task, TaskState state);
  // Ends the task with its reply: drops its document, prunes the finished tasks by age and
  // count, then runs the task's watchers (outside the lock).
  void Finish(Task& task, Reply reply);
  // Runs on_done once when the task is done: now (on this thread) when it is, or when the
  // service stops waiting (EndWaits). Any thread may call it; on_done must be brief.
  void Watch(const std::shared_ptr<Task>& task, std::function<void()> on_done);
  // The service stops: every watcher runs now, and later ones at once.
  void EndWaits();
  nlohmann::json Describe(const Task& task) const;
  // The task's reply once it is done, else nothing.
  std::optional<Reply> ReplyOf(const Task& task) const;
  // The tasks stored, finished or not.
  std::size_t size() const;

 private:
  struct Watcher {
    std::shared_ptr<Task> task;  // kept until it runs
    std::function<void()> on_done;
  };
  void Prune(std::chrono::system_clock::time_point now);  // under the lock

  const TaskLimits limits_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Task>> tasks_;
  std::deque<std::shared_ptr<Task>> finished_;  // in the order they finished
  std::unordered_multimap<const Task*, Watcher> watchers_;
  bool waits_ended_ = false;
};

}  // namespace nevd
