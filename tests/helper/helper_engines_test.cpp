// The engines' work queues: destruction waits for every piece of counted work.
#include "helper/helper_engines.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "support/test_platform.h"

namespace tidewarden::helper {
namespace {

using namespace std::chrono_literals;

TEST(HelperEnginesTest, DestructionWaitsForWorkOnEveryQueueThatStillUsesTheEngines) {
  testing::TestPlatform test;
  auto engines = std::make_shared<HelperEngines>(test.platform());
  std::promise<void> releasePromise;
  std::shared_future<void> release = releasePromise.get_future().share();
  std::promise<void> started[3];
  std::future<void> startedFutures[3];
  for (int i = 0; i < 3; ++i) startedFutures[i] = started[i].get_future();
  std::atomic<int> finished{0};

  // Each piece of work writes to the coordinator's table, which dies with the engines:
  // were destruction not to wait for it, this would write freed memory.
  auto work = [&, raw = engines.get()](int index, const char* name) {
    return [&, raw, index, name] {
      started[index].set_value();
      release.wait();
      std::lock_guard lock(raw->rescueDriveCoordinator.lock);
      raw->rescueDriveCoordinator.operations[name].finished = true;
      ++finished;
    };
  };
  engines->onFanQueue(work(0, "fan"));
  engines->onInterruptedInstallersQueue(work(1, "interrupted"));
  engines->onUtilityQueue(work(2, "utility"));
  for (auto& future : startedFutures) EXPECT_EQ(future.wait_for(10s), std::future_status::ready);

  auto finishedWhenDestroyed = std::async(std::launch::async, [&] {
    engines.reset();
    return finished.load();
  });
  EXPECT_EQ(finishedWhenDestroyed.wait_for(100ms), std::future_status::timeout);
  releasePromise.set_value();
  ASSERT_EQ(finishedWhenDestroyed.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(finishedWhenDestroyed.get(), 3);
}

}  // namespace
}  // namespace tidewarden::helper
