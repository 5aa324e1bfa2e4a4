// The listener's per-user call limit, whose units pass between connections without a lock
// while the user is under it: the limit holds, and a unit given back reaches a waiter.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc_listener.h"
#include "support/temp_dir.h"
#include "support/wire_client.h"

namespace tidewarden::platform {
namespace {

using namespace std::chrono_literals;

// Answers "echo:" at once and keeps the reply blocks of "hold:" calls for the test.
class HoldingObject final : public ExportedObject {
 public:
  void invoke(const std::string& selector, std::optional<std::string> argument, ReplyBlock reply) override {
    if (selector == "echo:") return reply(*argument);
    std::lock_guard lock(mutex_);
    held_.push_back({*argument, std::move(reply)});
    changed_.notify_all();
  }
  bool awaitHeld(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return held_.size() >= count; });
  }
  std::size_t heldCount() {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  // Answers the held call that arrived `index`-th with its argument.
  void answer(std::size_t index) {
    std::pair<std::string, ReplyBlock> call;
    {
      std::lock_guard lock(mutex_);
      call = std::move(held_[index]);
    }
    call.second(call.first);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::pair<std::string, ReplyBlock>> held_;
};

class HoldingDelegate final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(IncomingConnection& connection) override {
    connection.setExportedInterface({{"echo:", true}, {"hold:", true}});
    connection.setExportedObject(object);
    connection.resume();
    return true;
  }
  const std::shared_ptr<HoldingObject> object = std::make_shared<HoldingObject>();
};

TEST(ListenerCallBudgetTest, AUsersCallsInFlightStayWithinItsLimitAndAUnitGivenBackGoesToTheWaiter) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/helper.sock";
  HoldingDelegate delegate;
  HoldingObject& object = *delegate.object;
  ListenerLimits limits;
  limits.maxCallsInFlight = 4;
  limits.maxCallsInFlightPerUser = 2;
  auto listener = Listener::create(path, limits);
  listener->setDelegate(&delegate);
  listener->resume();

  testing::WireClient first(path), second(path), third(path);
  const auto nextPayload = [](testing::WireClient& client) {
    return client.next().value_or(wire::ReplyFrame{0, "(nothing)"}).payload;
  };
  first.send("hold:", "first");
  second.send("hold:", "second");
  ASSERT_TRUE(object.awaitHeld(2));
  // The user's two units are taken: the third connection's calls wait unread.
  third.send("echo:", "waited");
  third.send("hold:", "third");
  EXPECT_FALSE(third.next(200ms));
  EXPECT_EQ(object.heldCount(), 2u);

  object.answer(0);
  EXPECT_EQ(nextPayload(first), "first");
  EXPECT_EQ(nextPayload(third), "waited");
  // The echo's unit came back at once and went on to the third connection's hold.
  ASSERT_TRUE(object.awaitHeld(3));
  object.answer(1);
  object.answer(2);
  EXPECT_EQ(nextPayload(second), "second");
  EXPECT_EQ(nextPayload(third), "third");
  // Every unit is back: two calls at once are served again.
  first.send("hold:", "again");
  second.send("hold:", "again");
  EXPECT_TRUE(object.awaitHeld(5));
  object.answer(3);
  object.answer(4);
  EXPECT_EQ(nextPayload(first), "again");
  EXPECT_EQ(nextPayload(second), "again");
}

}  // namespace
}  // namespace tidewarden::platform
