// The fan recovery record: its storage checks against the real file system, and the recovery after a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "fan/fan_control_coordinator.h"
#include "fan/fan_recovery_store.h"
#include "platform/dispatch_queue.h"
#include "support/fan_refusal.h"
#include "support/test_platform.h"

namespace tidewarden::fan {
namespace {

namespace fs = std::filesystem;
using testing::FakeSmc;
using testing::fanRefusalOf;

constexpr const char* kUntrusted = "An older or changed fan recovery record needs review; new overrides are disabled.";
constexpr const char* kRecovered = "Previous Tidewarden fan override returned to System after helper restart.";

class FanRecoveryTest : public ::testing::Test {
 protected:
  FanRecoveryTest() {
    tp.facts.brand = "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz";
    tp.smc.addFan(0, "fpe2", 1800, 1200, 5700, 1800, 0);
    tp.smc.addFan(1, "fpe2", 2000, 1200, 6000, 2000, 0);
    tp.smc.keys["TC0P"] = FakeSmc::sp78(50);
    fs::create_directories(tp.rootPath() + "/Library/Application Support");
  }

  std::string dir() const { return tp.rootPath() + "/Library/Application Support/Tidewarden/FanControl"; }
  std::string file() const { return dir() + "/lease.json"; }
  FanRecoveryRecord record(double age) {
    FanRecoveryRecord r;
    r.deviceID = "TEST-MAC-1";
    r.createdAt = platform::json::Date{tp.clock.wall - age};
    r.expected = {{0, 3000}, {1, 3500}};
    r.previous = {{0, 1800}, {1, 2000}};
    r.modeFenceFanIDs = std::vector<std::int32_t>{0, 1};
    return r;
  }
  // The state a helper killed mid-session leaves: both fans held, fan 1 before its
  // target write.
  void heldFans() {
    tp.smc.keys["F0Md"] = FakeSmc::ui8(1);
    tp.smc.keys["F0Tg"] = FakeSmc::fpe2(3000);
    tp.smc.keys["F1Md"] = FakeSmc::ui8(1);
  }
  double reg(const std::string& key) {
    return FanSMCTransport::decodeValue(tp.smc.keys[key].type, tp.smc.keys[key].bytes).value_or(-1);
  }
  std::unique_ptr<FanControlCoordinator> restarted() {
    auto coordinator = std::make_unique<FanControlCoordinator>(
        tp.platform(), queue, [](std::function<void()>) { return std::make_unique<ControlTimer>(); });
    coordinator->recoverAfterRestart();
    return coordinator;
  }

  testing::TestPlatform tp;
  platform::SerialQueue queue{"test.fan"};
  FanRecoveryStore store{tp.platform().root};
};

TEST_F(FanRecoveryTest, TheStoreRefusesForeignOrRedirectedStorage) {
  EXPECT_FALSE(store.read());
  store.write(record(0));
  EXPECT_EQ(store.read(), record(0));
  EXPECT_EQ(fs::status(file()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 1);  // no temporary left

  ::chmod((dir() + "/..").c_str(), 0775);
  EXPECT_EQ(fanRefusalOf([&] { store.write(record(0)); }),
            "Fan recovery storage must be root-owned and not group/world writable.");
  ::chmod((dir() + "/..").c_str(), 0755);

  const auto unsafe = [&] { return fanRefusalOf([&] { store.read(); }); };
  ::chmod(file().c_str(), 0644);
  EXPECT_EQ(unsafe(), "Fan recovery state is unsafe.");
  ::chmod(file().c_str(), 0600);
  EXPECT_EQ(unsafe(), "(accepted)");
  fs::create_hard_link(file(), tp.rootPath() + "/second");
  EXPECT_EQ(unsafe(), "Fan recovery state is unsafe.");
  fs::remove(tp.rootPath() + "/second");
  std::ofstream(file(), std::ios::app) << std::string(16385 - fs::file_size(file()), ' ');
  EXPECT_EQ(unsafe(), "Fan recovery state is unsafe.");
  fs::resize_file(file(), 16384);
  EXPECT_EQ(unsafe(), "(accepted)");

  store.clear();
  EXPECT_FALSE(fs::exists(file()));
  fs::rename(dir(), dir() + "-real");
  fs::create_directory_symlink(dir() + "-real", dir());
  EXPECT_EQ(fanRefusalOf([&] { store.write(record(0)); }), "Fan recovery storage is redirected or inaccessible.");
  EXPECT_FALSE(fs::exists(dir() + "-real/lease.json"));
}

TEST_F(FanRecoveryTest, ASessionRecordsItsFansBeforeTheFirstWriteAndClearsThemOnRestore) {
  std::optional<FanRecoveryRecord> seenBeforeWrite;
  tp.smc.beforeAnswer = [&](const platform::SmcParameterRecord& input) -> std::optional<platform::SmcCallResult> {
    if (input[42] == 6 && !seenBeforeWrite) seenBeforeWrite = store.read();
    return std::nullopt;
  };
  FanControlCoordinator coordinator(tp.platform(), queue,
                                    [](std::function<void()>) { return std::make_unique<ControlTimer>(); });
  FanControlRequest apply{FanControlRequest::Action::apply, FanControlMode::manual, std::nullopt,
                          {{0, 3000}, {1, 3500}}, FanThermalSource::cpu, 70, true};
  ASSERT_TRUE(coordinator.perform(apply).accepted);
  ASSERT_TRUE(seenBeforeWrite);
  EXPECT_EQ(seenBeforeWrite->expected, (std::map<std::int32_t, double>{{0, 3000}}));
  EXPECT_EQ(seenBeforeWrite->modeFenceFanIDs, (std::vector<std::int32_t>{0}));
  const auto written = store.read();
  ASSERT_TRUE(written);
  EXPECT_EQ(written->expected, (std::map<std::int32_t, double>{{0, 3000}, {1, 3500}}));
  EXPECT_EQ(written->previous, (std::map<std::int32_t, double>{{0, 1800}, {1, 2000}}));
  EXPECT_EQ(written->deviceID, "TEST-MAC-1");

  FanControlRequest restore = apply;
  restore.action = FanControlRequest::Action::restore;
  ASSERT_TRUE(coordinator.perform(restore).accepted);
  EXPECT_FALSE(fs::exists(file()));

  // Without storage no fan is ever switched.
  fs::remove_all(tp.rootPath() + "/Library");
  const std::size_t writes = tp.smc.writtenKeys().size();
  EXPECT_FALSE(coordinator.perform(apply).accepted);
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes);
}

TEST_F(FanRecoveryTest, ARestartReturnsRecordedFansOnlyWhenTheRecordIsTrusted) {
  heldFans();
  store.write(record(7199));
  auto coordinator = restarted();
  EXPECT_EQ(coordinator->lastMessage(), kRecovered);
  EXPECT_FALSE(coordinator->recoveryBlocked());
  EXPECT_EQ(reg("F0Md"), 0);
  EXPECT_EQ(reg("F1Md"), 0);
  EXPECT_FALSE(fs::exists(file()));

  heldFans();
  store.write(record(7200));
  coordinator = restarted();
  EXPECT_EQ(coordinator->lastMessage(), kUntrusted);
  EXPECT_TRUE(coordinator->recoveryBlocked());
  EXPECT_EQ(reg("F0Md"), 1);
  EXPECT_TRUE(fs::exists(file()));
  FanControlRequest apply{FanControlRequest::Action::apply, FanControlMode::maximum, std::nullopt, {},
                          FanThermalSource::cpu, 70, true};
  EXPECT_EQ(coordinator->perform(apply).message, kUntrusted);
  FanControlRequest restore = apply;
  restore.action = FanControlRequest::Action::restore;
  EXPECT_EQ(coordinator->perform(restore).message, kUntrusted);

  FanRecoveryRecord foreign = record(0);
  foreign.deviceID = "OTHER-MAC";
  store.write(foreign);
  EXPECT_EQ(restarted()->lastMessage(), kUntrusted);

  FanRecoveryRecord scope = record(0);
  scope.modeFenceFanIDs = std::vector<std::int32_t>{0, 3};
  store.write(scope);
  const std::size_t writes = tp.smc.writtenKeys().size();
  EXPECT_EQ(restarted()->lastMessage(), "Fan recovery cancellation scope is invalid; no mode was changed.");
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes);

  // A fan another controller has since set elsewhere is not forced back.
  store.write(record(0));
  tp.smc.keys["F0Tg"] = FakeSmc::fpe2(4000);
  EXPECT_EQ(restarted()->lastMessage(),
            "Fan state no longer matches Tidewarden's recorded override. Another controller may be active; automatic "
            "recovery was not forced.");
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes);

  // A fenced fan that already reads automatic still gets its release written.
  tp.smc.keys["F0Md"] = FakeSmc::ui8(0);
  tp.smc.keys["F1Md"] = FakeSmc::ui8(0);
  EXPECT_EQ(restarted()->lastMessage(), kRecovered);
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes + 2);
}

TEST_F(FanRecoveryTest, ARestartTriesEveryRecordedFanAndRetriesUntilAllAreBackInSystem) {
  heldFans();
  store.write(record(0));
  std::ofstream(dir() + "/lease-0A1B2C3D-0000-4000-8000-000000000000.tmp") << "{\"deviceID\":";  // a killed write
  int refusals = 2;  // F0Md's release is refused at start-up and by the user's restore
  tp.smc.beforeAnswer = [&](const platform::SmcParameterRecord& input) -> std::optional<platform::SmcCallResult> {
    if (input[42] != 6 || tp.smc.keyOf(tp.smc.received.size() - 1) != "F0Md" || refusals == 0) return std::nullopt;
    --refusals;
    platform::SmcCallResult refused{0, 80, {}};
    refused.output[40] = 0x86;
    return refused;
  };
  auto coordinator = restarted();
  EXPECT_EQ(reg("F0Md"), 1);
  EXPECT_EQ(reg("F1Md"), 0);  // not stopped by fan 1's failure
  EXPECT_TRUE(fs::exists(file()));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir()), fs::directory_iterator()), 1);  // the temporary is gone
  EXPECT_FALSE(coordinator->recoveryBlocked());
  EXPECT_TRUE(coordinator->restorationPending());
  EXPECT_TRUE(coordinator->timerRunning());

  FanControlRequest apply{FanControlRequest::Action::apply, FanControlMode::maximum, std::nullopt, {},
                          FanThermalSource::cpu, 70, true};
  EXPECT_TRUE(coordinator->perform(apply).message.starts_with(
      "System restoration has not been verified; no new override is allowed."));
  FanControlRequest restore = apply;
  restore.action = FanControlRequest::Action::restore;
  const FanControlReply failed = coordinator->perform(restore);
  EXPECT_FALSE(failed.accepted);
  ASSERT_TRUE(failed.status);
  EXPECT_TRUE(failed.status->restorationPending);
  EXPECT_EQ(reg("F0Md"), 1);

  coordinator->controlTick();
  EXPECT_EQ(reg("F0Md"), 0);
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_FALSE(coordinator->restorationPending());
  EXPECT_FALSE(coordinator->timerRunning());
  EXPECT_EQ(coordinator->lastMessage(), "Pending safety restoration returned fans to System.");
  EXPECT_TRUE(coordinator->perform(apply).accepted);
}

}  // namespace
}  // namespace tidewarden::fan
