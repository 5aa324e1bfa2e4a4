// The production sleep protection against a private message bus with a stand-in for logind: the inhibitor taken,
// held through a sleep notice and let go by its answer, and a loss reported when the bus dies or re-arming fails.
#include "platform/linux/linux_system_power.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using namespace std::chrono_literals;
using Notice = std::pair<std::uint32_t, std::intptr_t>;

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
// Every wait ends as soon as its event happens; the bound only stops a broken run.
constexpr auto kBound = 20s;

// Owns org.freedesktop.login1 on the private bus: answers Inhibit with one end of a
// pipe (keeping the other, so a test sees when the inhibitor is let go) and sends
// PrepareForSleep on request. Its own thread runs the bus; tests hand it work.
class FakeLogind {
 public:
  explicit FakeLogind(const std::string& address) {
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
        sd_bus_start(bus_) < 0 || sd_bus_add_object_vtable(bus_, nullptr, "/org/freedesktop/login1",
                                                            "org.freedesktop.login1.Manager", kVtable, this) < 0 ||
        sd_bus_request_name(bus_, "org.freedesktop.login1", 0) < 0) {
      return;
    }
    ready_ = true;
    thread_ = std::thread([this] {
      while (!stopping_) {
        std::vector<std::function<void()>> work;
        {
          std::lock_guard lock(mutex_);
          work.swap(work_);
        }
        for (auto& job : work) job();
        if (sd_bus_process(bus_, nullptr) > 0) continue;
        if (sd_bus_wait(bus_, 20 * 1000) < 0) break;
      }
    });
  }
  ~FakeLogind() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    sd_bus_flush_close_unref(bus_);
  }

  bool ready() const { return ready_; }
  void sendPrepareForSleep(bool sleeping) {
    run([this, sleeping] {
      sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                         static_cast<int>(sleeping));
    });
  }
  // Whether the latest inhibitor handed out is still held by the helper's side.
  bool inhibitorHeld() {
    std::lock_guard lock(mutex_);
    if (!held_) return false;
    pollfd descriptor{held_.get(), POLLIN, 0};
    return ::poll(&descriptor, 1, 0) == 0;  // the reading end sees an end of file once it is closed
  }
  int inhibits() {
    std::lock_guard lock(mutex_);
    return inhibits_;
  }
  std::atomic<bool> refuseInhibit = false;

 private:
  void run(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(job));
  }
  static int inhibit(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeLogind*>(userdata);
    if (self->refuseInhibit) return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "refused");
    const char* what = nullptr;
    const char* who = nullptr;
    const char* why = nullptr;
    const char* mode = nullptr;
    if (sd_bus_message_read(call, "ssss", &what, &who, &why, &mode) < 0 || std::string(mode) != "delay") {
      return sd_bus_error_set(error, "org.freedesktop.DBus.Error.InvalidArgs", "not a delay lock");
    }
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -errno;
    UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    {
      std::lock_guard lock(self->mutex_);
      self->held_ = std::move(reading);
      ++self->inhibits_;
    }
    return sd_bus_reply_method_return(call, "h", writing.get());  // the reply carries a copy
  }
  static inline const sd_bus_vtable kVtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Inhibit", "ssss", "h", &FakeLogind::inhibit, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
      SD_BUS_VTABLE_END,
  };

  sd_bus* bus_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::function<void()>> work_;  // guarded by mutex_
  UniqueFd held_;                            // guarded by mutex_
  int inhibits_ = 0;                         // guarded by mutex_
};

class LinuxSleepProtectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kDaemon)) GTEST_SKIP() << kDaemon << " is not installed (package dbus-daemon)";
    address_ = "unix:path=" + dir_.path() + "/bus";
    daemon_ = std::make_unique<testing::RunningProgram>(std::vector<std::string>{
        kDaemon, "--session", "--nofork", "--nopidfile", "--address=" + address_, "--print-address=1"});
    ASSERT_TRUE(daemon_->readLine(kBound)) << "the private bus did not start";
    logind_ = std::make_unique<FakeLogind>(address_);
    ASSERT_TRUE(logind_->ready());
    root_ = UniqueFd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    power_ = makeLinuxSystemPower(root_, address_);
  }
  void TearDown() override {
    power_.reset();
    logind_.reset();
  }

  SystemPower::Handler recorder() {
    return [this](std::uint32_t type, std::intptr_t id) {
      std::lock_guard lock(mutex_);
      notices_.emplace_back(type, id);
      arrived_.notify_all();
    };
  }
  // The next notice, waiting for it.
  std::optional<Notice> nextNotice() {
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, kBound, [this] { return seen_ < notices_.size(); })) return std::nullopt;
    return notices_[seen_++];
  }
  bool awaitHeld(bool held) {
    const auto deadline = std::chrono::steady_clock::now() + kBound;
    while (logind_->inhibitorHeld() != held) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  testing::TempDir dir_;
  std::string address_;
  std::unique_ptr<testing::RunningProgram> daemon_;
  std::unique_ptr<FakeLogind> logind_;
  UniqueFd root_;
  std::unique_ptr<SystemPower> power_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Notice> notices_;
  std::size_t seen_ = 0;
};

TEST_F(LinuxSleepProtectionTest, SleepWaitsForTheAnswerAndALossIsReportedUntilRegisteredAgain) {
  ASSERT_TRUE(power_->registerForSystemPower(recorder()));
  EXPECT_FALSE(power_->registerForSystemPower(recorder()));  // once while it holds
  EXPECT_EQ(logind_->inhibits(), 1);
  EXPECT_TRUE(logind_->inhibitorHeld());

  // A sleep notice keeps the inhibitor until its answer.
  logind_->sendPrepareForSleep(true);
  const std::optional<Notice> sleep = nextNotice();
  ASSERT_TRUE(sleep);
  EXPECT_EQ(sleep->first, kSystemWillSleep);
  EXPECT_TRUE(logind_->inhibitorHeld());
  power_->allowPowerChange(sleep->second);
  EXPECT_TRUE(awaitHeld(false));

  // Awake, with logind refusing a new inhibitor: the next sleep would not wait, so
  // protection is lost.
  logind_->refuseInhibit = true;
  logind_->sendPrepareForSleep(false);
  EXPECT_EQ(nextNotice(), Notice(kSleepProtectionLost, 0));
  EXPECT_FALSE(power_->registerForSystemPower(recorder()));  // still refused
  logind_->refuseInhibit = false;
  ASSERT_TRUE(power_->registerForSystemPower(recorder()));
  EXPECT_TRUE(logind_->inhibitorHeld());

  // The bus going away is a loss too, and nothing can be registered without it.
  ASSERT_TRUE(daemon_->stop(SIGKILL, kBound));
  EXPECT_EQ(nextNotice(), Notice(kSleepProtectionLost, 0));
  EXPECT_FALSE(power_->registerForSystemPower(recorder()));
}

}  // namespace
}  // namespace tidewarden::platform
