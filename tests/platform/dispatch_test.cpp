// Serial and global queues, the repeating timer and the one-shot reply holder.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch_queue.h"
#include "platform/global_queue.h"
#include "platform/once_reply.h"
#include "platform/repeating_timer.h"

namespace tidewarden::platform {
namespace {

using namespace std::chrono_literals;

// Upper bound for waiting on an event that should come almost at once; reaching it
// means the event never came.
constexpr auto kEventBound = 10s;

// A one-way gate: wait() blocks until open().
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool wait(std::chrono::steady_clock::duration bound = kEventBound) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, bound, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Polls `condition` (cheaply) until it holds or the bound passes.
template <class Condition>
bool eventually(Condition condition) {
  auto end = std::chrono::steady_clock::now() + kEventBound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(SerialQueueTest, RunsInSubmissionOrderOnItsOwnThread) {
  SerialQueue queue("com.ambergrove.Tidewarden.test-order");
  EXPECT_EQ(queue.label(), "com.ambergrove.Tidewarden.test-order");
  EXPECT_FALSE(queue.isCurrent());
  std::vector<int> seen;
  std::atomic<int> offQueue{0};
  for (int i = 0; i < 1000; ++i) {
    queue.async([&, i] {
      if (!queue.isCurrent()) ++offQueue;
      seen.push_back(i);
    });
  }
  std::thread::id worker;
  queue.sync([&] { worker = std::this_thread::get_id(); });
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
  EXPECT_EQ(offQueue.load(), 0);
  EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialQueueTest, SyncReturnsAfterTheWorkAndSerializesWithAsync) {
  SerialQueue queue("sync");
  Gate release;
  std::atomic<bool> firstDone{false};
  queue.async([&] {
    release.wait();
    firstDone = true;
  });
  std::thread opener([&] { release.open(); });
  bool sawFirst = false;
  queue.sync([&] { sawFirst = firstDone.load(); });
  EXPECT_TRUE(sawFirst);
  opener.join();
}

TEST(SerialQueueTest, DestructionRunsEverythingAlreadyQueued) {
  std::vector<int> seen;
  Gate release;
  {
    SerialQueue queue("drain");
    queue.async([&] { release.wait(); });
    for (int i = 0; i < 50; ++i) {
      queue.async([&, i] {
        seen.push_back(i);
        // Work added by work during shutdown runs too.
        if (i == 49) queue.async([&] { seen.push_back(100); });
      });
    }
    release.open();
  }
  ASSERT_EQ(seen.size(), 51u);
  EXPECT_EQ(seen.front(), 0);
  EXPECT_EQ(seen.back(), 100);
}

TEST(SerialQueueDeathTest, SyncFromItsOwnThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        SerialQueue queue("self");
        queue.sync([&] { queue.sync([] {}); });
      },
      "");
}

TEST(GlobalQueueTest, DoesNotStarveWhenTenTasksBlock) {
  for (GlobalQueue* queue : {&GlobalQueue::utility(), &GlobalQueue::background()}) {
    Gate release;
    std::atomic<int> blocked{0};
    std::atomic<int> finished{0};
    for (int i = 0; i < 10; ++i) {
      queue->async([&] {
        ++blocked;
        release.wait();
        ++finished;
      });
    }
    Gate eleventh;
    std::thread::id ranOn;
    queue->async([&] {
      ranOn = std::this_thread::get_id();
      eleventh.open();
    });
    EXPECT_TRUE(eleventh.wait());
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(eventually([&] { return blocked.load() == 10; }));
    release.open();
    ASSERT_TRUE(eventually([&] { return finished.load() == 10; }));  // before `release` goes away
  }
}

TEST(GlobalQueueTest, BeyondTheCapWorkWaitsInOrder) {
  GlobalQueue queue(/*maxWorkers=*/2, /*idleWorkerTimeout=*/10s);
  Gate releaseA;
  Gate releaseB;
  Gate aStarted;
  Gate bStarted;
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](const char* name) {
    std::lock_guard lock(mutex);
    order.push_back(name);
  };
  queue.async([&] {
    aStarted.open();
    releaseA.wait();
    record("A");
  });
  queue.async([&] {
    bStarted.open();
    releaseB.wait();
    record("B");
  });
  ASSERT_TRUE(aStarted.wait());
  ASSERT_TRUE(bStarted.wait());
  Gate dDone;
  queue.async([&] { record("C"); });
  queue.async([&] {
    record("D");
    dDone.open();
  });
  EXPECT_EQ(queue.workerCount(), 2u);
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(order.empty());
  }
  releaseA.open();
  ASSERT_TRUE(dDone.wait());
  releaseB.open();
  EXPECT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return order.size() == 4;
  }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, (std::vector<std::string>{"A", "C", "D", "B"}));
}

TEST(GlobalQueueTest, IdleWorkersExitAndTheQueueRecovers) {
  GlobalQueue queue(/*maxWorkers=*/4, /*idleWorkerTimeout=*/20ms);
  Gate first;
  queue.async([&] { first.open(); });
  ASSERT_TRUE(first.wait());
  EXPECT_TRUE(eventually([&] { return queue.workerCount() == 0; }));
  Gate second;
  queue.async([&] { second.open(); });
  EXPECT_TRUE(second.wait());
}

class RepeatingTimerTest : public ::testing::Test {
 protected:
  void countTick() {
    std::lock_guard lock(mutex_);
    ++ticks_;
    onQueue_ = onQueue_ && queue_.isCurrent();
    cv_.notify_all();
  }
  bool waitForTicks(int count) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kEventBound, [&] { return ticks_ >= count; });
  }
  int ticks() {
    std::lock_guard lock(mutex_);
    return ticks_;
  }

  SerialQueue queue_{"timer"};
  std::mutex mutex_;
  std::condition_variable cv_;
  int ticks_ = 0;
  bool onQueue_ = true;
};

TEST_F(RepeatingTimerTest, FiresRepeatedlyOnTheQueueOneIntervalAfterResume) {
  const auto interval = 20ms;
  std::chrono::steady_clock::time_point firstTick;
  RepeatingTimer timer(queue_, interval, 1ms, [&] {
    if (ticks() == 0) firstTick = std::chrono::steady_clock::now();
    countTick();
  });
  auto resumed = std::chrono::steady_clock::now();
  timer.resume();
  timer.resume();  // a second resume changes nothing
  ASSERT_TRUE(waitForTicks(3));
  timer.cancel();
  EXPECT_GE(firstTick - resumed, interval);
  EXPECT_TRUE(onQueue_);
}

TEST_F(RepeatingTimerTest, TicksCoalesceWhileTheQueueIsBusy) {
  RepeatingTimer timer(queue_, 2ms, 0ms, [&] { countTick(); });
  Gate release;
  queue_.async([&] { release.wait(); });
  timer.resume();
  ASSERT_TRUE(eventually([&] { return timer.expirationCount() >= 5; }));
  // Queue now: [blocker (running), one waiting tick]. The marker goes behind it.
  int ticksAtMarker = -1;
  Gate marked;
  queue_.async([&] {
    ticksAtMarker = ticks();
    marked.open();
  });
  release.open();
  ASSERT_TRUE(marked.wait());
  EXPECT_EQ(ticksAtMarker, 1);
  timer.cancel();
}

TEST_F(RepeatingTimerTest, CancelStopsATickAlreadyWaitingOnTheQueue) {
  RepeatingTimer timer(queue_, 1ms, 0ms, [&] { countTick(); });
  Gate release;
  queue_.async([&] { release.wait(); });
  timer.resume();
  ASSERT_TRUE(eventually([&] { return timer.expirationCount() >= 1; }));
  timer.cancel();
  timer.cancel();  // idempotent
  uint64_t expirations = timer.expirationCount();
  release.open();
  queue_.sync([] {});
  EXPECT_EQ(ticks(), 0);
  timer.resume();  // no effect after cancel
  queue_.sync([] {});
  EXPECT_EQ(timer.expirationCount(), expirations);
}

TEST_F(RepeatingTimerTest, DestructionWithATickWaitingNeverCallsTheHandler) {
  Gate release;
  queue_.async([&] { release.wait(); });
  {
    RepeatingTimer timer(queue_, 1ms, 0ms, [&] { countTick(); });
    timer.resume();
    ASSERT_TRUE(eventually([&] { return timer.expirationCount() >= 1; }));
  }
  release.open();
  queue_.sync([] {});
  EXPECT_EQ(ticks(), 0);
}

TEST_F(RepeatingTimerTest, HandlerMayCancelItsOwnTimer) {
  std::unique_ptr<RepeatingTimer> timer;
  timer = std::make_unique<RepeatingTimer>(queue_, 1ms, 0ms, [&] {
    countTick();
    if (ticks() == 2) timer->cancel();
  });
  timer->resume();
  ASSERT_TRUE(waitForTicks(2));
  queue_.sync([] {});
  uint64_t expirations = timer->expirationCount();
  queue_.sync([] {});
  EXPECT_EQ(ticks(), 2);
  EXPECT_EQ(timer->expirationCount(), expirations);
}

TEST(OnceReplyTest, OnlyTheFirstSendIsDelivered) {
  std::vector<std::string> delivered;
  auto reply = OnceReply<std::string>::make([&](std::string value) { delivered.push_back(std::move(value)); });
  EXPECT_FALSE(reply->sent());
  EXPECT_TRUE(reply->send("first"));
  EXPECT_TRUE(reply->sent());
  EXPECT_FALSE(reply->send("second"));
  reply.reset();  // dropping after a send adds nothing
  EXPECT_EQ(delivered, (std::vector<std::string>{"first"}));
}

TEST(OnceReplyTest, DroppingTheLastOwnerUnansweredSendsTheDefaultOnce) {
  std::vector<std::string> delivered;
  auto reply = OnceReply<std::string>::make([&](std::string value) { delivered.push_back(value); });
  auto second = reply;
  reply.reset();
  EXPECT_TRUE(delivered.empty());  // another owner still holds it
  second.reset();
  EXPECT_EQ(delivered, (std::vector<std::string>{""}));
}

TEST(OnceReplyTest, CallbackRunsOutsideTheLock) {
  OnceReply<int>* raw = nullptr;
  bool sawSent = false;
  auto reply = OnceReply<int>::make([&](int) { sawSent = raw->sent(); });  // would deadlock under the lock
  raw = reply.get();
  EXPECT_TRUE(reply->send(1));
  EXPECT_TRUE(sawSent);
}

TEST(OnceReplyTest, EightRacingSendersDeliverExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> calls{0};
    std::atomic<int> deliveredValue{-1};
    auto reply = OnceReply<int>::make([&](int value) {
      ++calls;
      deliveredValue = value;
    });
    std::atomic<int> winners{0};
    std::atomic<int> winnerValue{-2};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t, holder = reply] {
        while (!go) std::this_thread::yield();
        if (holder->send(t)) {
          ++winners;
          winnerValue = t;
        }
      });
    }
    reply.reset();
    go = true;
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(winners.load(), 1);
    ASSERT_EQ(calls.load(), 1);
    ASSERT_EQ(deliveredValue.load(), winnerValue.load());
  }
}

}  // namespace
}  // namespace tidewarden::platform
