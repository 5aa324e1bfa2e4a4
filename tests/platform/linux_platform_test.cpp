// The production Linux services: machine-file parsers, thermal zones and process facts on a temporary root,
// free space through the root descriptor, process signals, and the sleep protection against a private message
// bus with a stand-in for logind (the inhibitor taken, held through a sleep notice and let go by its answer, and
// a loss reported when the bus dies or re-arming fails).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/free_space.h"
#include "platform/linux/linux_machine_files.h"
#include "platform/linux/linux_process_facts.h"
#include "platform/linux/linux_system_power.h"
#include "platform/process_signals.h"
#include "support/child_program.h"
#include "support/platform_waits.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

namespace fs = std::filesystem;
using namespace linux_files;
using namespace std::chrono_literals;
using Notice = std::pair<std::uint32_t, std::intptr_t>;

TEST(LinuxMachineFiles, ParsersTakeOnlyWellFormedValues) {
  const std::string cpuinfo =
      "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz  \n"
      "processor\t: 1\nmodel name\t: Other\n";
  EXPECT_EQ(cpuBrandFromCpuinfo(cpuinfo), "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz");
  for (const char* bad : {"processor\t: 0\nmodel\t: 158\n", "model name\t:   \n", "model name\t: a\x01" "b\n"}) {
    EXPECT_EQ(cpuBrandFromCpuinfo(bad), std::nullopt) << bad;
  }

  const std::string id = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(machineIdFrom(id + "\n"), id);
  EXPECT_EQ(machineIdFrom(id), id);
  for (const std::string& bad : {std::string("0123456789ABCDEF0123456789ABCDEF\n"), id.substr(1) + "\n", id + "\n\n",
                                 std::string(32, '0') + "\n", std::string("uninitialized\n")}) {
    EXPECT_EQ(machineIdFrom(bad), std::nullopt) << bad;
  }

  EXPECT_EQ(prettyNameFromOsRelease("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(prettyNameFromOsRelease("PRETTY_NAME=Plain\n"), "Plain");
  EXPECT_EQ(prettyNameFromOsRelease("NAME=Debian\n"), std::nullopt);
  EXPECT_EQ(prettyNameFromOsRelease("PRETTY_NAME=\"\"\n"), std::nullopt);
  EXPECT_EQ(firstLineOf(" MacBookPro16,1 \nsecond"), "MacBookPro16,1");
  EXPECT_EQ(firstLineOf("\n"), std::nullopt);

  EXPECT_EQ(milliCelsiusFrom("45000\n"), 45000);
  EXPECT_EQ(milliCelsiusFrom("-5000\n"), -5000);
  for (const char* bad : {"", "\n", "45.5\n", "+45000", "45000x", "99999999999999999999"}) {
    EXPECT_EQ(milliCelsiusFrom(bad), std::nullopt) << bad;
  }
}

class LinuxRootTest : public ::testing::Test {
 protected:
  LinuxRootTest() : root_(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  void put(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(dir_.path() + path).parent_path());
    std::ofstream(dir_.path() + path) << text;
  }
  // A zone with its temperature and (type, temperature) trip points.
  void zone(const std::string& name, const std::string& temperature,
            const std::vector<std::pair<std::string, std::string>>& trips) {
    const std::string base = "/sys/devices/virtual/thermal/" + name;
    put(base + "/temp", temperature);
    for (std::size_t i = 0; i < trips.size(); ++i) {
      put(base + "/trip_point_" + std::to_string(i) + "_type", trips[i].first + "\n");
      put(base + "/trip_point_" + std::to_string(i) + "_temp", trips[i].second + "\n");
    }
  }

  testing::TempDir dir_;
  UniqueFd root_;
};

// A trip point reached sets the pressure of its kind (active points and unknown kinds none).
TEST_F(LinuxRootTest, TheWorstZoneDecidesAndLinksAreNotFollowed) {
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::nominal);  // no zones at all
  const std::vector<std::pair<std::string, std::string>> trips = {
      {"active", "50000"}, {"weird", "0"}, {"passive", "85000"}, {"critical", "105000"}};
  zone("thermal_zone0", "84999\n", trips);
  zone("thermal_zone1", "unreadable\n", {{"critical", "0"}});  // a zone without a temperature is skipped
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::nominal);
  zone("thermal_zone0", "85000\n", trips);
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::fair);
  zone("thermal_zone2", "96000\n", {{"active", "40000"}, {"hot", "95000"}});
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::serious);

  // A zone that is a link elsewhere is not read.
  zone("../../../../elsewhere/thermal_zone9", "120000\n", {{"critical", "100000"}});
  fs::create_directory_symlink(dir_.path() + "/elsewhere/thermal_zone9",
                               dir_.path() + "/sys/devices/virtual/thermal/thermal_zone3");
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::serious);
  zone("thermal_zone4", "105000\n", {{"critical", "105000"}});
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::critical);
}

TEST_F(LinuxRootTest, ProcessFactsComeFromTheFilesBeneathTheRoot) {
  const auto facts = makeLinuxProcessFacts(root_);
  EXPECT_EQ(facts->cpuBrand(), "");
  EXPECT_EQ(facts->modelIdentifier(), "Unknown");
  EXPECT_EQ(facts->deviceIdentifier(), std::nullopt);
  EXPECT_TRUE(facts->osVersion().starts_with("Linux (kernel ")) << facts->osVersion();

  put("/proc/cpuinfo", "processor\t: 0\nmodel name\t: Apple M4 Pro\n");
  put("/sys/class/dmi/id/product_name", "Mac16,8\n");
  put("/etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  put("/elsewhere/machine-id", "0123456789abcdef0123456789abcdef\n");
  fs::create_symlink(dir_.path() + "/elsewhere/machine-id", dir_.path() + "/etc/machine-id");
  EXPECT_EQ(facts->cpuBrand(), "Apple M4 Pro");
  EXPECT_EQ(facts->modelIdentifier(), "Mac16,8");
  EXPECT_TRUE(facts->osVersion().starts_with("Debian GNU/Linux 12 (bookworm) (kernel ")) << facts->osVersion();
  EXPECT_EQ(facts->deviceIdentifier(), std::nullopt);  // a link is not followed

  fs::remove(dir_.path() + "/etc/machine-id");
  put("/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  EXPECT_EQ(facts->deviceIdentifier(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(facts->realUserId(), ::getuid());

  // Accounts come from the machine's own database (not the files beneath the root).
  EXPECT_EQ(facts->userName(0), "root");
  EXPECT_EQ(facts->userId("root"), 0u);
  EXPECT_EQ(facts->userId("no-such-account-here"), std::nullopt);
  EXPECT_EQ(facts->userId(std::string_view("root\0x", 6)), std::nullopt);
}

TEST_F(LinuxRootTest, FreeSpaceIsMeasuredOnTheVolumeOfAPathBeneathTheRoot) {
  fs::create_directories(dir_.path() + "/System/Volumes/Data");
  fs::create_symlink("/", dir_.path() + "/escape");
  const std::unique_ptr<FreeSpace> freeSpace = makeVolumeFreeSpace(root_);

  struct statvfs volume{};
  ASSERT_EQ(::statvfs(dir_.path().c_str(), &volume), 0);
  const std::optional<std::int64_t> bytes = freeSpace->freeBytes("/System/Volumes/Data");
  ASSERT_TRUE(bytes.has_value());
  // Other tests write beside us; the volume's own figure is the bound, not an exact value.
  EXPECT_GT(*bytes, 0);
  EXPECT_LE(*bytes, static_cast<std::int64_t>(volume.f_blocks * volume.f_frsize));
  EXPECT_TRUE(freeSpace->freeBytes("/").has_value());

  EXPECT_EQ(freeSpace->freeBytes("/Volumes/Absent"), std::nullopt);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(freeSpace->freeBytes("/escape/tmp"), std::nullopt);  // no link is followed
  EXPECT_EQ(errno, ENOTDIR);
}

TEST(ProcessSignalsTest, SignalsOneProcessAndNeverAGroupOrEveryone) {
  const std::unique_ptr<ProcessSignals> signals = makeProcessSignals();
  testing::RunningProgram sleeper({"/bin/sleep", "60"});
  EXPECT_TRUE(signals->send(sleeper.pid(), SIGTERM));
  EXPECT_EQ(sleeper.waitForExit(std::chrono::seconds(30)), 128 + SIGTERM);

  for (const pid_t broadcast : {0, -1, -sleeper.pid()}) {
    errno = 0;
    EXPECT_FALSE(signals->send(broadcast, 0)) << broadcast;
    EXPECT_EQ(errno, EINVAL);
  }
}

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
        if (const int sleeping = pendingSleep_.exchange(-1); sleeping >= 0) {
          sd_bus_emit_signal(bus_, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep", "b",
                             sleeping);
        }
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
  // Sent from the bus thread at its next turn (it wakes at least every 20 ms).
  void sendPrepareForSleep(bool sleeping) { pendingSleep_ = sleeping ? 1 : 0; }
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
  static int inhibit(sd_bus_message* call, void* userdata, sd_bus_error* error) {
    auto* self = static_cast<FakeLogind*>(userdata);
    if (self->refuseInhibit) return sd_bus_error_set(error, "org.freedesktop.DBus.Error.AccessDenied", "refused");
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
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
  std::atomic<int> pendingSleep_ = -1;  // a PrepareForSleep argument to send, or -1
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

  testing::TempDir dir_;
  std::string address_;
  std::unique_ptr<testing::RunningProgram> daemon_;
  std::unique_ptr<FakeLogind> logind_;
  UniqueFd root_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Notice> notices_;
  std::size_t seen_ = 0;
  // Declared last, so destroyed first: its bus thread records notices until then.
  std::unique_ptr<SystemPower> power_;
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
  EXPECT_TRUE(testing::eventually([&] { return !logind_->inhibitorHeld(); }, kBound));

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
