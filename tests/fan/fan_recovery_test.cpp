// The fan recovery record: its storage checks against the real file system, and the recovery after a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "fan/fan_control_coordinator.h"
#include "fan/fan_recovery_store.h"
#include "support/fan_fixture.h"
#include "support/fan_refusal.h"

namespace tidewarden::fan {
namespace {

namespace fs = std::filesystem;
using testing::FakeSmc;
using testing::fanRefusalOf;

constexpr const char* kUntrusted = "An older or changed fan recovery record needs review; new overrides are disabled.";
constexpr const char* kRecovered = "Previous Tidewarden fan override returned to System after helper restart.";
constexpr const char* kPendingRestored = "Pending safety restoration returned fans to System.";

class FanRecoveryTest : public testing::FanCoordinatorFixture {
 protected:
  FanRecoveryRecord record(double age) {
    return {"TEST-MAC-1", platform::json::Date{tp.clock.wall - age}, {{0, 3000}, {1, 3500}}, {{0, 1800}, {1, 2000}},
            std::vector<std::int32_t>{0, 1}};
  }
  // The state a helper killed mid-session leaves: both fans held, fan 1 before its
  // target write, and the record naming both.
  void heldFans(double recordAge = 0) {
    tp.smc.keys["F0Md"] = FakeSmc::ui8(1);
    tp.smc.keys["F0Tg"] = FakeSmc::fpe2(3000);
    tp.smc.keys["F1Md"] = FakeSmc::ui8(1);
    store.write(record(recordAge));
  }
  std::unique_ptr<FanControlCoordinator> restarted() {
    auto coordinator = newCoordinator();
    coordinator->recoverAfterRestart();
    return coordinator;
  }
  std::size_t filesInDir() const {
    return std::distance(fs::directory_iterator(recordDir()), fs::directory_iterator());
  }
};

TEST_F(FanRecoveryTest, TheStoreRefusesForeignOrRedirectedStorage) {
  EXPECT_FALSE(store.read());
  store.write(record(0));
  EXPECT_EQ(store.read(), record(0));
  EXPECT_EQ(fs::status(recordPath()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(filesInDir(), 1u);  // no temporary left

  ::chmod((recordDir() + "/..").c_str(), 0775);
  EXPECT_EQ(fanRefusalOf([&] { store.write(record(0)); }),
            "Fan recovery storage must be root-owned and not group/world writable.");
  ::chmod((recordDir() + "/..").c_str(), 0755);

  const auto unsafe = [&] { return fanRefusalOf([&] { store.read(); }); };
  ::chmod(recordPath().c_str(), 0644);
  EXPECT_EQ(unsafe(), "Fan recovery state is unsafe.");
  ::chmod(recordPath().c_str(), 0600);
  EXPECT_EQ(unsafe(), "(accepted)");
  fs::create_hard_link(recordPath(), tp.rootPath() + "/second");
  EXPECT_EQ(unsafe(), "Fan recovery state is unsafe.");
  fs::remove(tp.rootPath() + "/second");
  std::ofstream(recordPath(), std::ios::app) << std::string(16385 - fs::file_size(recordPath()), ' ');
  EXPECT_EQ(unsafe(), "Fan recovery state is unsafe.");
  fs::resize_file(recordPath(), 16384);
  EXPECT_EQ(unsafe(), "(accepted)");

  store.clear();
  EXPECT_FALSE(fs::exists(recordPath()));
  fs::rename(recordDir(), recordDir() + "-real");
  fs::create_directory_symlink(recordDir() + "-real", recordDir());
  EXPECT_EQ(fanRefusalOf([&] { store.write(record(0)); }), "Fan recovery storage is redirected or inaccessible.");
  EXPECT_FALSE(fs::exists(recordDir() + "-real/lease.json"));
}

TEST_F(FanRecoveryTest, ASessionRecordsItsFansBeforeTheFirstWriteAndClearsThemOnRestore) {
  std::optional<FanRecoveryRecord> seenBeforeWrite;
  beforeEveryCall = [&] {
    if (!seenBeforeWrite && !tp.smc.writtenKeys().empty()) seenBeforeWrite = store.read();
  };
  auto coordinator = newCoordinator();
  FanControlRequest apply = makeRequest(Action::apply);
  ASSERT_TRUE(coordinator->perform(apply).accepted);
  ASSERT_TRUE(seenBeforeWrite);
  EXPECT_EQ(seenBeforeWrite->expected, (std::map<std::int32_t, double>{{0, 3000}}));
  EXPECT_EQ(seenBeforeWrite->modeFenceFanIDs, (std::vector<std::int32_t>{0}));
  FanRecoveryRecord both = record(0);
  both.createdAt = store.read()->createdAt;
  EXPECT_EQ(store.read(), both);

  ASSERT_TRUE(coordinator->perform(makeRequest(Action::restore)).accepted);
  EXPECT_FALSE(fs::exists(recordPath()));

  // Without this Mac's identifier or without storage no fan is ever switched.
  const std::size_t writes = tp.smc.writtenKeys().size();
  tp.facts.device.reset();
  EXPECT_EQ(coordinator->perform(apply).message,
            "This Mac's identifier could not be read, so fan recovery cannot be recorded or trusted. " +
                std::string(testing::kOverrideStopped));
  tp.facts.device = "TEST-MAC-1";
  fs::remove_all(tp.rootPath() + "/Library");
  EXPECT_FALSE(coordinator->perform(apply).accepted);
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes);
}

TEST_F(FanRecoveryTest, ARestartReturnsRecordedFansOnlyWhenTheRecordIsTrusted) {
  heldFans(7199);
  auto coordinator = restarted();
  EXPECT_EQ(coordinator->lastMessage(), kRecovered);
  EXPECT_FALSE(coordinator->recoveryBlocked());
  EXPECT_TRUE(fansAutomatic());
  EXPECT_FALSE(fs::exists(recordPath()));

  heldFans(7200);
  coordinator = restarted();
  EXPECT_EQ(coordinator->lastMessage(), kUntrusted);
  EXPECT_TRUE(coordinator->recoveryBlocked());
  EXPECT_EQ(reg("F0Md"), 1);
  EXPECT_TRUE(fs::exists(recordPath()));
  EXPECT_EQ(coordinator->perform(makeRequest(Action::apply, FanControlMode::maximum)).message, kUntrusted);
  EXPECT_EQ(coordinator->perform(makeRequest(Action::restore)).message, kUntrusted);

  const std::size_t writes = tp.smc.writtenKeys().size();
  const std::vector<std::pair<std::function<void(FanRecoveryRecord&)>, std::string>> refused = {
      {[](auto& r) { r.deviceID = "OTHER-MAC"; }, kUntrusted},
      {[](auto& r) { r.modeFenceFanIDs = std::vector<std::int32_t>{0, 3}; },
       "Fan recovery cancellation scope is invalid; no mode was changed."},
      {[](auto& r) { r.expected[2] = 3000; }, "Fan layout changed during recovery."},
      {[this](auto&) { tp.facts.device.reset(); },
       "This Mac's identifier could not be read, so fan recovery cannot be recorded or trusted."},
  };
  for (const auto& [change, message] : refused) {
    FanRecoveryRecord changed = record(0);
    change(changed);
    store.write(changed);
    EXPECT_EQ(restarted()->lastMessage(), message);
    tp.facts.device = "TEST-MAC-1";
  }
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

// A recovery at start-up that cannot release every recorded fan keeps the record and the
// restoration pending: a controller that cannot be opened is unknown, not "nothing to
// release"; a refused release of one fan does not stop the other's; the user's restore
// and every step retry only the fan that has not verified, also when its release is
// accepted but it never reads automatic. (New overrides waiting for it, through the real
// helper and its restart: the fan simulator tests.)
TEST_F(FanRecoveryTest, ARestartTriesEveryRecordedFanAndRetriesUntilAllAreBackInSystem) {
  heldFans();
  std::ofstream(recordDir() + "/lease-0A1B2C3D-0000-4000-8000-000000000000.tmp") << "{\"deviceID\":";  // a killed write
  tp.smc.openStatus = platform::SmcClient::OpenStatus::serviceUnavailable;
  auto unopened = restarted();
  EXPECT_TRUE(unopened->restorationPending());
  EXPECT_EQ(unopened->lastMessage(),
            "System restoration has not been verified: a fan may still be in manual mode. Tidewarden retries every "
            "second, and new overrides are refused until every fan reads automatic.");
  EXPECT_TRUE(fs::exists(recordPath()));
  tp.smc.openStatus = platform::SmcClient::OpenStatus::opened;

  refuseWritesOf("F0Md", 2);  // at start-up and at the user's restore
  auto coordinator = restarted();
  EXPECT_EQ(reg("F1Md"), 0);  // not stopped by fan 1's failure
  EXPECT_EQ(filesInDir(), 1u);  // the record, without the temporary
  EXPECT_FALSE(coordinator->recoveryBlocked());
  EXPECT_TRUE(coordinator->timerRunning());
  const std::size_t writes = tp.smc.writtenKeys().size();
  const FanControlReply failed = coordinator->perform(makeRequest(Action::restore));
  EXPECT_FALSE(failed.accepted);
  ASSERT_TRUE(failed.status);
  EXPECT_TRUE(failed.status->restorationPending);
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes + 1);  // fan 1 only
  EXPECT_TRUE(fs::exists(recordPath()));

  bool stuck = true;
  beforeEveryCall = [&] {
    if (stuck) tp.smc.keys["F0Md"] = FakeSmc::ui8(1);
  };
  for (int tick = 0; tick < 2; ++tick) {
    const std::size_t before = tp.smc.writtenKeys().size();
    coordinator->controlTick();
    EXPECT_EQ(tp.smc.writtenKeys().size(), before + 1);
    EXPECT_TRUE(coordinator->lastMessage().starts_with(
        "System restoration needs attention: Fan 1 mode verification failed: F0Md requested 0"))
        << coordinator->lastMessage();
    EXPECT_TRUE(fs::exists(recordPath()));
  }
  stuck = false;
  coordinator->controlTick();
  EXPECT_TRUE(fansAutomatic());
  EXPECT_FALSE(fs::exists(recordPath()));
  EXPECT_FALSE(coordinator->restorationPending());
  EXPECT_FALSE(coordinator->timerRunning());
  EXPECT_EQ(coordinator->lastMessage(), kPendingRestored);
}

}  // namespace
}  // namespace tidewarden::fan
