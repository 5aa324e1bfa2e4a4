// Serial and global queues, the repeating timer and the one-shot reply holder.
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch_queue.h"
#include "platform/global_queue.h"
#include "platform/once_reply.h"
#include "platform/repeating_timer.h"
#include "support/platform_waits.h"

namespace tidewarden::platform {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// Upper bound for waiting on an event that should come almost at once; reaching it
// means the event never came.
constexpr auto kEventBound = 10s;

// A one-way gate any number of threads may wait on: wait() blocks until open().
struct Gate {
  std::promise<void> promise;
  std::shared_future<void> future = promise.get_future().share();
  void open() { promise.set_value(); }
  bool wait() const { return future.wait_for(kEventBound) == std::future_status::ready; }
};

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

TEST(SerialQueueTest, RunsEachProducersWorkInOrderOnItsOwnThreadAndEverySyncSeesItsWork) {
  SerialQueue queue("producers");
  EXPECT_FALSE(queue.isCurrent());
  Gate release;
  queue.async([&] { release.wait(); });  // work piles up behind this until the producers run
  constexpr int kProducers = 4, kItems = 200;
  std::vector<std::vector<int>> seen(kProducers);  // touched only on the queue; -1 for work run off it
  std::vector<std::thread> producers;
  std::atomic<int> syncsMissingWork{0};
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kItems; ++i) {
        queue.async([&, p, i] { seen[p].push_back(queue.isCurrent() ? i : -1); });
        if (i % 50 == 49) {
          size_t count = 0;
          queue.sync([&] { count = seen[p].size(); });
          if (count != static_cast<size_t>(i) + 1) ++syncsMissingWork;
        }
      }
    });
  }
  release.open();
  for (std::thread& producer : producers) producer.join();
  std::thread::id worker;
  queue.sync([&] { worker = std::this_thread::get_id(); });
  EXPECT_NE(worker, std::this_thread::get_id());
  EXPECT_EQ(syncsMissingWork.load(), 0);
  for (int p = 0; p < kProducers; ++p) {
    ASSERT_EQ(seen[p].size(), static_cast<size_t>(kItems)) << p;
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(seen[p][i], i) << p;
  }
}

TEST(SerialQueueDeathTest, SyncFromItsOwnThreadAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  SerialQueue queue("self");
  EXPECT_DEATH(queue.sync([&] { queue.sync([] {}); }), "");
}

TEST(GlobalQueueTest, DoesNotStarveWhenTenTasksBlock) {
  for (GlobalQueue* queue : {&GlobalQueue::utility(), &GlobalQueue::background()}) {
    Gate release;
    std::atomic<int> blocked{0}, finished{0};
    for (int i = 0; i < 10; ++i) {
      queue->async([&] {
        ++blocked;
        release.wait();
        ++finished;
      });
    }
    Gate eleventh;
    queue->async([&] { eleventh.open(); });
    EXPECT_TRUE(eleventh.wait());
    EXPECT_TRUE(eventually([&] { return blocked.load() == 10; }));
    release.open();
    ASSERT_TRUE(eventually([&] { return finished.load() == 10; }));  // before `release` goes away
  }
}

// Work beyond the worker cap waits in order, also once the queue itself is destroyed: the
// workers keep the pool alive and run what was waiting.
TEST(GlobalQueueTest, BeyondTheCapWorkWaitsInOrderEvenAfterTheQueueIsDestroyed) {
  auto queue = std::make_unique<GlobalQueue>(/*maxWorkers=*/2, /*idleWorkerTimeout=*/10s);
  Gate release[2], started[2], done;
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](const char* name) {
    std::lock_guard lock(mutex);
    order.push_back(name);
  };
  auto recorded = [&] {
    std::lock_guard lock(mutex);
    return order;
  };
  for (int i = 0; i < 2; ++i) {
    queue->async([&, i] {
      started[i].open();
      release[i].wait();
      record(i == 0 ? "A" : "B");
    });
  }
  ASSERT_TRUE(started[0].wait() && started[1].wait());
  queue->async([&] { record("C"); });
  queue->async([&] {
    record("D");
    done.open();
  });
  EXPECT_EQ(queue->workerCount(), 2u);
  EXPECT_TRUE(recorded().empty());
  queue.reset();  // does not wait
  release[0].open();
  ASSERT_TRUE(done.wait());
  release[1].open();
  ASSERT_TRUE(eventually([&] { return recorded().size() == 4; }));
  EXPECT_EQ(recorded(), (std::vector<std::string>{"A", "C", "D", "B"}));
}

TEST(GlobalQueueTest, IdleWorkersExitAndTheQueueRecovers) {
  GlobalQueue queue(/*maxWorkers=*/4, /*idleWorkerTimeout=*/20ms);
  Gate first, second;
  queue.async([&] { first.open(); });
  ASSERT_TRUE(first.wait());
  EXPECT_TRUE(eventually([&] { return queue.workerCount() == 0; }));
  queue.async([&] { second.open(); });
  EXPECT_TRUE(second.wait());
}

class RepeatingTimerTest : public ::testing::Test {
 protected:
  void countTick() {
    if (!queue_.isCurrent()) offQueue_ = true;
    ++ticks_;
  }

  SerialQueue queue_{"timer"};
  std::atomic<int> ticks_{0};
  std::atomic<bool> offQueue_{false};
};

// The handler may cancel its own timer: no tick follows, and no deadline counts any more.
TEST_F(RepeatingTimerTest, FiresOnTheQueueOneIntervalAfterResumeUntilItsHandlerCancelsIt) {
  const auto interval = 20ms;
  std::chrono::steady_clock::time_point firstTick;
  std::unique_ptr<RepeatingTimer> timer;
  timer = std::make_unique<RepeatingTimer>(queue_, interval, 1ms, [&] {
    if (ticks_ == 0) firstTick = std::chrono::steady_clock::now();
    countTick();
    if (ticks_ == 3) timer->cancel();
  });
  const auto resumed = std::chrono::steady_clock::now();
  timer->resume();
  timer->resume();  // a second resume changes nothing
  ASSERT_TRUE(eventually([&] { return ticks_ >= 3; }));
  queue_.sync([] {});
  const uint64_t expirations = timer->expirationCount();
  queue_.sync([] {});
  EXPECT_EQ(ticks_, 3);
  EXPECT_EQ(timer->expirationCount(), expirations);
  EXPECT_GE(firstTick - resumed, interval);
  EXPECT_FALSE(offQueue_);
}

// A tick waits for the running item only: it goes ahead of requests queued before it,
// and the deadlines that passed meanwhile coalesce into that one tick (deadlines after
// the queue was freed may add ticks of their own).
TEST_F(RepeatingTimerTest, TicksCoalesceAndGoAheadOfQueuedWork) {
  RepeatingTimer timer(queue_, 2ms, 0ms, [&] { countTick(); });
  Gate running, release, marked;
  queue_.async([&] {
    running.open();
    release.wait();
  });
  ASSERT_TRUE(running.wait());
  int ticksSeen = -1;
  std::uint64_t deadlinesSeen = 0;
  queue_.async([&] {
    ticksSeen = ticks_;
    deadlinesSeen = timer.expirationCount();
  });
  for (int request = 0; request < 100; ++request) queue_.async([] {});
  timer.resume();
  ASSERT_TRUE(eventually([&] { return timer.expirationCount() >= 5; }));
  queue_.async([&] { marked.open(); });
  const std::uint64_t deadlinesWhileBusy = timer.expirationCount();
  release.open();
  ASSERT_TRUE(marked.wait());
  timer.cancel();
  EXPECT_GE(ticksSeen, 1);
  EXPECT_LE(static_cast<std::uint64_t>(ticksSeen), 1 + (deadlinesSeen - deadlinesWhileBusy));
}

TEST_F(RepeatingTimerTest, CancelOrDestructionStopsATickAlreadyWaitingOnTheQueue) {
  for (bool destroy : {false, true}) {
    Gate running, release;
    queue_.async([&] {
      running.open();
      release.wait();
    });
    ASSERT_TRUE(running.wait());  // a tick would go ahead of a blocker still waiting
    auto timer = std::make_unique<RepeatingTimer>(queue_, 1ms, 0ms, [&] { countTick(); });
    timer->resume();
    ASSERT_TRUE(eventually([&] { return timer->expirationCount() >= 1; }));
    uint64_t expirations = 0;
    if (destroy) {
      timer.reset();
    } else {
      timer->cancel();
      timer->cancel();  // idempotent
      expirations = timer->expirationCount();
    }
    release.open();
    queue_.sync([] {});
    EXPECT_EQ(ticks_, 0) << destroy;
    if (!destroy) {
      timer->resume();  // no effect after cancel
      queue_.sync([] {});
      EXPECT_EQ(timer->expirationCount(), expirations);
    }
  }
}

TEST(OnceReplyTest, OnlyTheFirstSendIsDeliveredOutsideTheLockAndAnUnansweredOneGetsTheDefault) {
  std::vector<std::string> delivered;
  OnceReply<std::string>* raw = nullptr;
  bool sawSent = false;
  auto reply = OnceReply<std::string>::make([&](std::string value) {
    sawSent = raw->sent();  // would deadlock under the lock
    delivered.push_back(std::move(value));
  });
  raw = reply.get();
  EXPECT_FALSE(reply->sent());
  EXPECT_TRUE(reply->send("first"));
  EXPECT_TRUE(sawSent);
  EXPECT_FALSE(reply->send("second"));
  reply.reset();  // dropping after a send adds nothing
  EXPECT_EQ(delivered, (std::vector<std::string>{"first"}));

  auto unanswered = OnceReply<std::string>::make([&](std::string value) { delivered.push_back(value); });
  auto second = unanswered;
  unanswered.reset();
  EXPECT_EQ(delivered.size(), 1u);  // another owner still holds it
  second.reset();
  EXPECT_EQ(delivered, (std::vector<std::string>{"first", ""}));
}

TEST(OnceReplyTest, EightRacingSendersDeliverExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> calls{0}, deliveredValue{-1}, winners{0}, winnerValue{-2};
    auto reply = OnceReply<int>::make([&](int value) {
      ++calls;
      deliveredValue = value;
    });
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
