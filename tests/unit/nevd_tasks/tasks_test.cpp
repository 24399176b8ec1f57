// nevd's task store and result streams, and a printer's queue on a real simulated printer: what
// is kept, what is pruned, who is woken, and what a release or a refusal leaves behind.
#include "tasks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "printer.h"
#include "support/helpers.h"

namespace {

using nevd::Reply;
using nevd::Task;
using nevd::TaskKind;
using nevd::TaskState;
using nevd::TaskStore;
using nevd::TaskStream;
using nlohmann::json;
using namespace std::chrono_literals;

// Waits (at most a minute, a guard against a hang) for the task's end through the store's watch.
bool WaitDone(TaskStore& store, const std::shared_ptr<Task>& task) {
  auto done = std::make_shared<std::promise<void>>();
  store.Watch(task, [done] { done->set_value(); });
  return done->get_future().wait_for(60s) == std::future_status::ready;
}

TEST(NevdTaskStore, KeepsWhatIsQueuedAndPrunesFinishedTasksByCountAndAge) {
  struct Case {
    const char* name;
    nevd::TaskLimits limits;
    std::size_t kept;  // of 5 finished tasks, the newest this many stay
  } cases[] = {
      {"within the limits", {1000, 900s}, 5},
      {"over the count", {3, 900s}, 3},
      {"over the age", {1000, 0s}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskStore store(c.limits);
    store.New("p", TaskKind::kCash);  // refused before it was queued: never stored
    std::vector<std::shared_ptr<Task>> finished, queued;
    for (int i = 0; i < 2; ++i) {
      queued.push_back(store.New("p", TaskKind::kReceipt));
      store.Add(queued.back());
    }
    for (int i = 0; i < 5; ++i) {
      finished.push_back(store.New("p", TaskKind::kReceipt));
      finished.back()->document = std::string(1000, 'x');
      store.Add(finished.back());
      store.Finish(*finished.back(), Reply{200, {{"n", i}}});
      EXPECT_TRUE(finished.back()->document.empty());
    }
    EXPECT_EQ(store.size(), 2 + c.kept);
    for (const auto& t : queued) EXPECT_EQ(store.Find(t->id), t);
    for (std::size_t i = 0; i < finished.size(); ++i) {
      EXPECT_EQ(store.Find(finished[i]->id) != nullptr, i >= finished.size() - c.kept) << i;
    }
  }
}

TEST(NevdTaskStore, AWatcherRunsOnceWhenItsTaskEndsOrTheServiceStops) {
  enum Op { kWatch, kFinish, kEndWaits };
  struct Case {
    const char* name;
    std::vector<Op> ops;
    std::vector<int> runs;  // how many times the watchers ran, after each op
  } cases[] = {
      {"watch, then the end", {kWatch, kFinish}, {0, 1}},
      {"the end, then watch", {kFinish, kWatch}, {0, 1}},
      {"two watchers", {kWatch, kWatch, kFinish}, {0, 0, 2}},
      {"the service stops first", {kWatch, kEndWaits, kFinish}, {0, 1, 1}},
      {"watch after the stop", {kEndWaits, kWatch, kFinish}, {0, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskStore store;
    auto task = store.New("p", TaskKind::kZ);
    store.Add(task);
    int runs = 0;
    for (std::size_t i = 0; i < c.ops.size(); ++i) {
      switch (c.ops[i]) {
        case kWatch:
          store.Watch(task, [&runs] { ++runs; });
          break;
        case kFinish:
          store.Finish(*task, Reply{});
          break;
        case kEndWaits:
          store.EndWaits();
          break;
      }
      EXPECT_EQ(runs, c.runs[i]) << "after op " << i;
    }
  }
}

TEST(NevdTaskStream, AReaderGetsEveryLineInOrderWithAtMostTheBacklogWaiting) {
  constexpr std::size_t kBacklog = 4;
  constexpr int kLines = 200;
  TaskStream stream(kBacklog, 60s);
  std::jthread writer([&] {
    for (int i = 0; i < kLines; ++i) ASSERT_TRUE(stream.Add({{"n", i}}, i == kLines - 1));
    EXPECT_FALSE(stream.Add({{"n", "after the end"}}));
  });
  std::string all, expected;
  for (int i = 0; i < kLines; ++i) expected += json{{"n", i}}.dump() + "\n";
  for (bool done = false; !done;) {
    std::promise<void> data;
    stream.OnData([&data] { data.set_value(); });
    ASSERT_EQ(data.get_future().wait_for(60s), std::future_status::ready);
    const TaskStream::Chunk chunk = stream.Take();
    EXPECT_LE(std::count(chunk.text.begin(), chunk.text.end(), '\n'), kBacklog);
    all += chunk.text;
    done = chunk.done;
  }
  writer.join();
  EXPECT_EQ(all, expected);
}

TEST(NevdTaskStream, AWriterStopsWhenTheReaderCancelsOrStalls) {
  struct Case {
    const char* name;
    std::chrono::milliseconds stall;
    bool cancel;
  } cases[] = {
      {"the reader cancels", 60s, true},
      {"nobody reads", 20ms, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskStream stream(1, c.stall);
    bool woken = false;
    stream.OnData([&woken] { woken = true; });
    EXPECT_FALSE(woken);  // nothing there yet: it waits for the next line
    ASSERT_TRUE(stream.Add({{"n", 1}}));
    EXPECT_TRUE(woken);
    std::jthread reader;
    if (c.cancel) reader = std::jthread([&] { stream.Cancel(); });
    EXPECT_FALSE(stream.Add({{"n", 2}}));  // the backlog is full: it waits, then gives up
    if (reader.joinable()) reader.join();
    EXPECT_TRUE(stream.cancelled());
    EXPECT_FALSE(stream.Add({{"n", 3}}, true));
    const TaskStream::Chunk chunk = stream.Take();
    EXPECT_EQ(chunk.text, (json{{"n", 1}}.dump() + "\n"));
    EXPECT_TRUE(chunk.done);
  }
}

// A printer of the service on a real simulated line (or on a device that is not there).
class NevdPrinter : public ::testing::Test {
 protected:
  std::unique_ptr<nevd::Printer> Start(const std::string& port) {
    nevd::PrinterConfig p;
    p.id = "p";
    p.port = port;
    p.journal = dir_.str() + "/p.db";
    p.log_dir = dir_.str();
    nevd::Config service;
    service.probe_seconds = 0.5;
    service.max_backoff_seconds = 0.5;
    return std::make_unique<nevd::Printer>(p, service, store_);
  }
  static bool Online(const nevd::Printer& printer) {
    for (int i = 0; i < 600; ++i) {  // up to a minute: a guard against a hang, not a measure
      if (printer.Describe()["state"] == "online") return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  nevtest::TempDir dir_;
  TaskStore store_;
};

TEST_F(NevdPrinter, WorkRefusedBeforeItIsQueuedLeavesNothingBehind) {
  auto printer = Start(dir_.str() + "/no-such-device");
  for (int i = 0; i < 100; ++i) {
    auto task = store_.New("p", TaskKind::kReceipt);
    task->key = "doc-" + std::to_string(i);
    task->document = std::string(10000, 'x');
    std::string why;
    ASSERT_FALSE(printer->Enqueue(
        task, [](nevd::JobContext&) { return Reply{}; }, why));
    EXPECT_EQ(why.rfind("printer p is ", 0), 0u) << why;
  }
  EXPECT_EQ(store_.size(), 0u);
  bool conflict = false;
  EXPECT_EQ(printer->InFlight("doc-1", "", conflict), nullptr);
}

TEST_F(NevdPrinter, AReleaseEndsTheQueuedWorkAndThePrinterComesBack) {
  std::promise<void> started, go;
  std::shared_future<void> go_future = go.get_future().share();
  std::vector<std::shared_ptr<Task>> tasks;
  std::atomic<int> ran{0};
  auto printer = Start("sim");  // stops before what its jobs use goes
  ASSERT_TRUE(Online(*printer)) << printer->Describe().dump();
  for (int i = 0; i < 3; ++i) {
    tasks.push_back(store_.New("p", TaskKind::kReceipt));
    tasks.back()->key = "doc-" + std::to_string(i);
    tasks.back()->document = "text " + std::to_string(i);
    std::string why;
    ASSERT_TRUE(printer->Enqueue(
        tasks.back(),
        [&, i](nevd::JobContext&) {
          ++ran;
          if (i == 0) {
            started.set_value();
            go_future.wait_for(60s);
          }
          return Reply{200, {{"ran", i}}};
        },
        why))
        << why;
  }
  bool conflict = false;
  EXPECT_EQ(printer->InFlight("doc-2", "other text", conflict), tasks[2]);
  EXPECT_TRUE(conflict);
  ASSERT_EQ(started.get_future().wait_for(60s), std::future_status::ready);
  printer->Release(1h);  // asked while the first job runs: it ends, the others do not run
  go.set_value();
  for (const auto& t : tasks) ASSERT_TRUE(WaitDone(store_, t));
  EXPECT_EQ(tasks[0]->reply.status, 200);
  for (int i : {1, 2}) {
    EXPECT_EQ(tasks[i]->reply.status, 503);
    EXPECT_EQ(tasks[i]->reply.body["error"]["message"], "printer p was released");
    EXPECT_EQ(printer->InFlight(tasks[i]->key, tasks[i]->document, conflict), nullptr);
  }
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(store_.size(), 3u);
  std::string why;
  EXPECT_FALSE(printer->Enqueue(
      store_.New("p", TaskKind::kZ), [](nevd::JobContext&) { return Reply{}; }, why));
  EXPECT_EQ(why, "printer p is released: released to another program");
  printer->Release(10ms);  // a shorter release replaces the first; then the line is taken back
  EXPECT_TRUE(Online(*printer)) << printer->Describe().dump();
}

}  // namespace
