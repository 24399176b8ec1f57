// The thread's event loop: timers, posted callbacks and the time to the next event.
#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace nev::platform {
namespace {

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(EventLoopTest, TimerTicksAndTheTimeToTheNextEvent) {
  int ticks = 0;
  Timer timer([&] { ++ticks; });
  timer.SetInterval(20);
  DoEvents();
  EXPECT_EQ(ticks, 0);  // a disabled timer never ticks
  EXPECT_EQ(MillisUntilNextEvent(), -1);

  timer.SetEnabled(true);
  SleepMs(60);
  DoEvents();
  EXPECT_EQ(ticks, 1);  // ticks that fell due while nobody ran events come as one
  DoEvents();
  EXPECT_EQ(ticks, 1);  // the next one is a whole interval away
  SleepMs(60);
  DoEvents();
  EXPECT_EQ(ticks, 2);  // the tick did not stop the timer
  timer.SetEnabled(false);
  SleepMs(60);
  DoEvents();
  EXPECT_EQ(ticks, 2);
  {
    Timer zero([] {});
    zero.SetEnabled(true);  // interval 0: a timer that never ticks
    EXPECT_EQ(MillisUntilNextEvent(), -1);
    Timer slow([] {});
    slow.SetInterval(60000);
    slow.SetEnabled(true);
    const int ms = MillisUntilNextEvent();
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, 60000);
    PostEvent([] {});
    EXPECT_EQ(MillisUntilNextEvent(), 0);
    DoEvents();
    EXPECT_GT(MillisUntilNextEvent(), 0);
  }
  EXPECT_EQ(MillisUntilNextEvent(), -1);  // destroyed timers are gone from the loop
}

TEST(EventLoopTest, PostedCallbacksRunInOrderOncePerQueueing) {
  std::vector<std::string> order;
  PostEvent([&] {
    order.push_back("a");
    PostEvent([&] { order.push_back("c"); });  // waits for the next run
  });
  PostEvent([&] { order.push_back("b"); });
  DoEvents();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
  DoEvents();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
  DoEvents();
  EXPECT_EQ(order.size(), 3u);
}

TEST(EventLoopTest, TickHandlersMayNestAndDestroyTimers) {
  auto victim_ticks = std::make_shared<int>(0);
  auto victim = std::make_unique<Timer>([victim_ticks] { ++*victim_ticks; });
  int outer_ticks = 0;
  int nested_ran = 0;
  // Created after the victim: the victim ticks first, then this one destroys it.
  Timer killer([&] {
    ++outer_ticks;
    PostEvent([&] { ++nested_ran; });
    DoEvents();  // a nested run must not tick this timer again
    victim.reset();
  });
  victim->SetInterval(10);
  killer.SetInterval(10);
  victim->SetEnabled(true);
  killer.SetEnabled(true);
  SleepMs(30);
  DoEvents();
  EXPECT_EQ(outer_ticks, 1);
  EXPECT_EQ(nested_ran, 1);
  EXPECT_EQ(*victim_ticks, 1);
  EXPECT_EQ(victim, nullptr);
  SleepMs(30);
  DoEvents();  // the destroyed timer is not called
  EXPECT_EQ(outer_ticks, 2);
}

TEST(EventLoopTest, TimersAndEventsBelongToTheirThread) {
  int ticks = 0;
  Timer timer([&] { ++ticks; });
  timer.SetInterval(1);
  timer.SetEnabled(true);
  bool posted_ran = false;
  PostEvent([&] { posted_ran = true; });
  SleepMs(10);
  std::thread other([] {
    EXPECT_EQ(MillisUntilNextEvent(), -1);
    DoEvents();
  });
  other.join();
  EXPECT_EQ(ticks, 0);
  EXPECT_FALSE(posted_ran);
  DoEvents();
  EXPECT_EQ(ticks, 1);
  EXPECT_TRUE(posted_ran);
}

}  // namespace
}  // namespace nev::platform
