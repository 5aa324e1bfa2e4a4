// The listener's lifetime against the work it handed out: replies that come after it is gone.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ipc_listener.h"
#include "support/temp_dir.h"
#include "support/wire_client.h"

namespace tidewarden::platform {
namespace {

// Keeps every reply block it is handed, unanswered, for the test to use later.
class HoldingObject final : public ExportedObject {
 public:
  void invoke(const std::string&, std::optional<std::string>, ReplyBlock reply) override {
    std::lock_guard lock(mutex_);
    held_.push_back(std::move(reply));
    changed_.notify_all();
  }
  std::vector<ReplyBlock> take(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return held_.size() >= count; });
    return std::move(held_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ReplyBlock> held_;
};

class AdmitAll final : public ListenerDelegate {
 public:
  bool shouldAcceptNewConnection(IncomingConnection& connection) override {
    connection.setExportedInterface({{"hold:", false}});
    connection.setExportedObject(object);
    connection.resume();
    return true;
  }
  std::shared_ptr<HoldingObject> object = std::make_shared<HoldingObject>();
};

TEST(ListenerLifetimeTest, RepliesAfterTheListenerIsGoneAreDroppedAndTouchNothingFreed) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/helper.sock";
  AdmitAll delegate;
  auto listener = Listener::create(path);
  listener->setDelegate(&delegate);
  listener->resume();

  testing::WireClient client(path);
  client.send("hold:");
  client.send("hold:");
  std::vector<ReplyBlock> held = delegate.object->take(2);
  ASSERT_EQ(held.size(), 2u);

  listener.reset();
  EXPECT_FALSE(client.next());  // closed, nothing sent

  // One reply is sent and one dropped unanswered (which answers it empty), both from
  // another thread, after the connection and its listener are gone.
  std::thread late([blocks = std::move(held)]() mutable {
    blocks[0]("too late");
    blocks.clear();
  });
  late.join();
  EXPECT_FALSE(client.next(std::chrono::milliseconds(100)));
}

}  // namespace
}  // namespace tidewarden::platform
