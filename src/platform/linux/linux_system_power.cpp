// Thermal pressure and sleep notices on Linux: thermal-zone trip points and logind's PrepareForSleep.
#include "platform/linux/linux_system_power.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/linux/linux_machine_files.h"

namespace tidewarden::platform {
namespace {

constexpr const char* kLogind = "org.freedesktop.login1";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
// How long the bus thread waits for traffic before it looks at its stop flag.
constexpr std::uint64_t kWaitMicroseconds = 200 * 1000;

class LogindSystemPower final : public SystemPower {
 public:
  LogindSystemPower(const UniqueFd& root, std::string busAddress) : root_(root), busAddress_(std::move(busAddress)) {}

  ~LogindSystemPower() override {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    closeBus();
  }

  ThermalState thermalState() override { return linux_files::thermalStateBeneath(root_); }

  bool registerForSystemPower(Handler handler) override {
    if (serving_) return false;  // registered, and still holding sleep
    // A loop that ended after a loss has delivered its notice and is about to return.
    if (thread_.joinable()) thread_.join();
    closeBus();
    if (!openBus()) return false;
    if (sd_bus_match_signal(bus_, &slot_, kLogind, kLogindPath, kManager, "PrepareForSleep",
                            &LogindSystemPower::onPrepareForSleep, this) < 0 ||
        !takeInhibitor()) {
      closeBus();
      return false;
    }
    handler_ = std::move(handler);
    lost_ = false;
    serving_ = true;
    // From here on only this thread uses the bus (sd-bus objects are single-threaded).
    thread_ = std::thread([this] { serve(); });
    return true;
  }

  void allowPowerChange(std::intptr_t notificationID) override {
    std::lock_guard lock(mutex_);
    if (notificationID != 0 && notificationID == pendingSleep_) {
      inhibitor_.reset();  // logind lets the sleep go ahead once no delay lock remains
      pendingSleep_ = 0;
    }
  }

 private:
  bool openBus() {
    if (busAddress_.empty()) {
      if (sd_bus_open_system(&bus_) >= 0) return true;
      bus_ = nullptr;
      return false;
    }
    if (sd_bus_new(&bus_) < 0) {
      bus_ = nullptr;
      return false;
    }
    if (sd_bus_set_address(bus_, busAddress_.c_str()) < 0 || sd_bus_set_bus_client(bus_, 1) < 0 ||
        sd_bus_start(bus_) < 0) {
      bus_ = sd_bus_unref(bus_);
      return false;
    }
    return true;
  }

  // A "delay" sleep inhibitor: logind waits for its descriptor to close.
  bool takeInhibitor() {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int received = -1;
    const bool taken =
        sd_bus_call_method(bus_, kLogind, kLogindPath, kManager, "Inhibit", &error, &reply, "ssss", "sleep",
                           "Tidewarden", "Returning the fans to System control before sleep", "delay") >= 0 &&
        sd_bus_message_read(reply, "h", &received) >= 0 && received >= 0;
    // The message owns the descriptor it carries: keep a copy of our own.
    UniqueFd inhibitor(taken ? ::fcntl(received, F_DUPFD_CLOEXEC, 3) : -1);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (!inhibitor) return false;
    std::lock_guard lock(mutex_);
    inhibitor_ = std::move(inhibitor);
    return true;
  }

  static int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<LogindSystemPower*>(userdata);
    int sleeping = 0;
    if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
    if (sleeping) {
      std::intptr_t id = 0;
      {
        std::lock_guard lock(self->mutex_);
        id = ++self->lastNotification_;
        self->pendingSleep_ = id;
      }
      self->handler_(kSystemWillSleep, id);
    } else {
      bool missing = false;
      {
        std::lock_guard lock(self->mutex_);
        missing = !self->inhibitor_;
        self->pendingSleep_ = 0;
      }
      // Awake again: the next sleep must wait for us too. Without an inhibitor it would
      // not, so that is a loss, reported as one.
      if (missing && !self->takeInhibitor()) self->lost_ = true;
    }
    return 0;
  }

  // The bus loop. It ends when asked to, or when sleep can no longer be held (the bus
  // failed, or no inhibitor after a wake): the bus and any inhibitor are then let go
  // and the handler hears kSleepProtectionLost.
  void serve() {
    while (!stopping_ && !lost_) {
      const int processed = sd_bus_process(bus_, nullptr);
      if (processed < 0) break;
      if (processed > 0) continue;
      if (sd_bus_wait(bus_, kWaitMicroseconds) < 0) break;
    }
    if (stopping_) return;
    closeBus();
    serving_ = false;
    handler_(kSleepProtectionLost, 0);
  }

  void closeBus() {
    slot_ = sd_bus_slot_unref(slot_);
    bus_ = sd_bus_flush_close_unref(bus_);
    std::lock_guard lock(mutex_);
    inhibitor_.reset();
    pendingSleep_ = 0;
  }

  const UniqueFd& root_;
  const std::string busAddress_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  Handler handler_;
  std::thread thread_;
  std::atomic<bool> stopping_ = false;
  std::atomic<bool> serving_ = false;  // a registration holds sleep and its loop runs
  bool lost_ = false;                  // bus thread only, while serving
  std::mutex mutex_;
  UniqueFd inhibitor_;                  // guarded by mutex_
  std::intptr_t pendingSleep_ = 0;      // guarded by mutex_: the notice waiting for its answer
  std::intptr_t lastNotification_ = 0;  // guarded by mutex_
};

}  // namespace

std::unique_ptr<SystemPower> makeLinuxSystemPower(const UniqueFd& root, std::string busAddress) {
  return std::make_unique<LogindSystemPower>(root, std::move(busAddress));
}

}  // namespace tidewarden::platform
