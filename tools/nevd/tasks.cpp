#include "tasks.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

namespace nevd {

using nlohmann::json;

namespace {

struct TaskStateName {
  TaskState state;
  const char* name;
};
constexpr TaskStateName kTaskStateNames[] = {
    {TaskState::kQueued, "queued"}, {TaskState::kRunning, "running"}, {TaskState::kDone, "done"}};

struct TaskKindName {
  TaskKind kind;
  const char* name;
};
constexpr TaskKindName kTaskKindNames[] = {
    {TaskKind::kReceipt, "receipt"},
    {TaskKind::kCash, "cash"},
    {TaskKind::kZ, "z"},
    {TaskKind::kDuplicate, "duplicate"},
    {TaskKind::kVoidOpen, "void-open"},
    {TaskKind::kJournalAccept, "journal-accept"},
    {TaskKind::kFmReport, "fm-report"},
};

}  // namespace

std::string RandomId(const std::string& prefix) {
  static std::mutex m;
  static std::mt19937_64 rng{std::random_device{}()};
  std::lock_guard<std::mutex> lock(m);
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(rng()));
  return prefix + buf;
}

const char* Name(TaskState state) {
  for (const TaskStateName& n : kTaskStateNames) {
    if (n.state == state) return n.name;
  }
  return "done";
}

const char* Name(TaskKind kind) {
  for (const TaskKindName& n : kTaskKindNames) {
    if (n.kind == kind) return n.name;
  }
  return "receipt";
}

// TaskStream

TaskStream::TaskStream(std::size_t backlog, std::chrono::milliseconds stall)
    : backlog_(std::max<std::size_t>(backlog, 1)), stall_(stall) {}

bool TaskStream::Add(const json& line, bool last) {
  std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  std::function<void()> waiter;
  bool added = false;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A reader takes every line waiting at once, so any take ends this wait.
    if (!taken_.wait_for(lock, stall_,
                         [&] { return cancelled_ || ended_ || lines_.size() < backlog_; })) {
      cancelled_ = true;  // the reader stalled
    }
    if (!cancelled_ && !ended_) {
      lines_.push_back(std::move(text));
      ended_ = last;
      added = true;
    }
    waiter = TakeWaiter();
  }
  if (waiter) waiter();
  return added;
}

TaskStream::Chunk TaskStream::Take() {
  Chunk chunk;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : lines_) chunk.text += line;
    lines_.clear();
    chunk.done = ended_ || cancelled_;
  }
  taken_.notify_all();
  return chunk;
}

void TaskStream::OnData(std::function<void()> fn) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty() && !ended_ && !cancelled_) {
      on_data_ = std::move(fn);
      return;
    }
    on_data_ = nullptr;
  }
  fn();
}

void TaskStream::Cancel() {
  std::function<void()> waiter;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    waiter = TakeWaiter();
  }
  taken_.notify_all();
  if (waiter) waiter();
}

bool TaskStream::cancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

std::function<void()> TaskStream::TakeWaiter() {
  return std::exchange(on_data_, nullptr);
}

// TaskStore

TaskStore::TaskStore(TaskLimits limits) : limits_(limits) {}

std::shared_ptr<Task> TaskStore::New(const std::string& printer, TaskKind kind) const {
  auto task = std::make_shared<Task>();
  task->id = RandomId("t-");
  task->printer = printer;
  task->kind = kind;
  task->created = std::chrono::system_clock::now();
  return task;
}

void TaskStore::Add(std::shared_ptr<Task> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_[task->id] = std::move(task);
}

std::shared_ptr<Task> TaskStore::Find(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = tasks_.find(id);
  return it == tasks_.end() ? nullptr : it->second;
}

void TaskStore::SetState(Task& task, TaskState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  task.state = state;
}

void TaskStore::Finish(Task& task, Reply reply) {
  std::vector<std::function<void()>> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task.reply = std::move(reply);
    task.state = TaskState::kDone;
    std::string().swap(task.document);
    task.finished = std::chrono::system_clock::now();
    auto it = tasks_.find(task.id);
    if (it != tasks_.end() && it->second.get() == &task) finished_.push_back(it->second);
    Prune(task.finished);
    auto [first, last] = watchers_.equal_range(&task);
    for (auto w = first; w != last; ++w) done.push_back(std::move(w->second.on_done));
    watchers_.erase(first, last);
  }
  for (auto& fn : done) fn();
}

void TaskStore::Prune(std::chrono::system_clock::time_point now) {
  while (!finished_.empty() && (finished_.size() > limits_.max_finished ||
                                now - finished_.front()->finished >= limits_.max_age)) {
    tasks_.erase(finished_.front()->id);
    finished_.pop_front();
  }
}

void TaskStore::Watch(const std::shared_ptr<Task>& task, std::function<void()> on_done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (task->state != TaskState::kDone && !waits_ended_) {
      watchers_.emplace(task.get(), Watcher{task, std::move(on_done)});
      return;
    }
  }
  on_done();
}

void TaskStore::EndWaits() {
  std::unordered_multimap<const Task*, Watcher> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    waits_ended_ = true;
    all.swap(watchers_);
  }
  for (auto& [task, w] : all) w.on_done();
}

json TaskStore::Describe(const Task& task) const {
  std::lock_guard<std::mutex> lock(mutex_);
  json j = {{"id", task.id},
            {"printer", task.printer},
            {"kind", Name(task.kind)},
            {"state", Name(task.state)},
            {"href", "/api/v1/tasks/" + task.id}};
  if (task.state == TaskState::kDone) {
    j["status"] = task.reply.status;
    j["result"] = task.reply.body;
  }
  return j;
}

std::optional<Reply> TaskStore::ReplyOf(const Task& task) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (task.state != TaskState::kDone) return std::nullopt;
  return task.reply;
}

std::size_t TaskStore::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_.size();
}

}  // namespace nevd
