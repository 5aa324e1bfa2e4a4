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
  explicit LogindSystemPower(const UniqueFd& root) : root_(root) {}

  ~LogindSystemPower() override {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    closeBus();
  }

  ThermalState thermalState() override { return linux_files::thermalStateBeneath(root_); }

  bool registerForSystemPower(Handler handler) override {
    if (bus_ != nullptr) return false;  // registered already
    if (sd_bus_open_system(&bus_) < 0) {
      bus_ = nullptr;
      return false;
    }
    if (sd_bus_match_signal(bus_, &slot_, kLogind, kLogindPath, kManager, "PrepareForSleep",
                            &LogindSystemPower::onPrepareForSleep, this) < 0 ||
        !takeInhibitor()) {
      closeBus();
      return false;
    }
    handler_ = std::move(handler);
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
      // Awake again: the next sleep must wait for us too. A failure leaves it unguarded
      // until the next resume; there is no one to tell.
      if (missing) self->takeInhibitor();
    }
    return 0;
  }

  void serve() {
    while (!stopping_) {
      const int processed = sd_bus_process(bus_, nullptr);
      if (processed < 0) return;
      if (processed > 0) continue;
      if (sd_bus_wait(bus_, kWaitMicroseconds) < 0) return;
    }
  }

  void closeBus() {
    slot_ = sd_bus_slot_unref(slot_);
    bus_ = sd_bus_flush_close_unref(bus_);
    std::lock_guard lock(mutex_);
    inhibitor_.reset();
  }

  const UniqueFd& root_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  Handler handler_;
  std::thread thread_;
  std::atomic<bool> stopping_ = false;
  std::mutex mutex_;
  UniqueFd inhibitor_;                 // guarded by mutex_
  std::intptr_t pendingSleep_ = 0;     // guarded by mutex_: the notice waiting for its answer
  std::intptr_t lastNotification_ = 0;  // guarded by mutex_
};

}  // namespace

std::unique_ptr<SystemPower> makeLinuxSystemPower(const UniqueFd& root) {
  return std::make_unique<LogindSystemPower>(root);
}

}  // namespace tidewarden::platform
