// The fan-control coordinator on virtual time: sessions, leases, refusals, the control step, restoration and the
// report.
#include "fan/fan_control_coordinator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/fan_fixture.h"
#include "support/fan_refusal.h"

namespace tidewarden::fan {
namespace {

using testing::FakeSmc;
using testing::fanRefusalOf;
using testing::kManualVerified;
using testing::kOverrideStopped;

constexpr const char* kArmed = "Auto Max armed; System controls the fans below the trigger temperature.";
constexpr const char* kBoosting =
    "Auto Max is boosting the detected fans. System resumes below the threshold's 5°C hysteresis band.";
constexpr const char* kRestorationUnverified =
    "System restoration has not been verified: a fan may still be in manual mode. Tidewarden retries every second, "
    "and new overrides are refused until every fan reads automatic.";

class FanControlCoordinatorTest : public testing::FanCoordinatorFixture {
 protected:
  // A request of the active session (when there is one).
  FanControlRequest request(Action action, FanControlMode mode = FanControlMode::manual) {
    return makeRequest(action, mode, coordinator.lease() ? std::optional(coordinator.lease()->id) : std::nullopt);
  }
  FanControlReply apply(FanControlMode mode = FanControlMode::manual) {
    return coordinator.perform(request(Action::apply, mode));
  }
  FanControlReply renew() { return coordinator.perform(request(Action::renew)); }
  FanControlReply restore() { return coordinator.perform(request(Action::restore)); }
  // An apply of the active session with other Manual Boost targets.
  FanControlReply applyTargets(std::map<std::int32_t, double> targets) {
    FanControlRequest changed = request(Action::apply);
    changed.targets = std::move(targets);
    return coordinator.perform(changed);
  }
  FanControlReply applyAutoMax(FanThermalSource source, double thresholdCelsius) {
    FanControlRequest autoMax = request(Action::apply, FanControlMode::autoMax);
    autoMax.thermalSource = source;
    autoMax.thresholdCelsius = thresholdCelsius;
    return coordinator.perform(autoMax);
  }
  std::vector<std::string> writesSince(std::size_t before) {
    const std::vector<std::string> written = tp.smc.writtenKeys();
    return {written.begin() + static_cast<std::ptrdiff_t>(before), written.end()};
  }

  std::unique_ptr<FanControlCoordinator> owned = newCoordinator();
  FanControlCoordinator& coordinator = *owned;
};

TEST_F(FanControlCoordinatorTest, ManualBoostIsAcquiredHeldAndRestored) {
  const FanControlReply applied = apply();
  ASSERT_TRUE(applied.accepted) << applied.message;
  EXPECT_EQ(applied.message, kManualVerified);
  EXPECT_EQ(reg("F0Tg"), 3000);
  EXPECT_EQ(reg("F1Tg"), 3500);
  ASSERT_TRUE(applied.status);
  EXPECT_EQ(applied.status->sessionID, coordinator.lease()->id);
  EXPECT_EQ(applied.status->mode, FanControlMode::manual);
  EXPECT_TRUE(applied.status->supported);
  EXPECT_EQ(applied.status->restorationPending, false);
  EXPECT_EQ((applied.status->boostFloors), (std::map<std::int32_t, double>{{0, 1800}, {1, 2000}}));
  EXPECT_EQ(coordinator.lease()->touchedFanIDs, (std::set<std::int32_t>{0, 1}));
  EXPECT_EQ(timersStarted, 1);

  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(), kManualVerified);

  const FanControlReply restored = restore();
  EXPECT_TRUE(restored.accepted);
  EXPECT_EQ(restored.message, "System control restored by the user.");
  EXPECT_TRUE(fansAutomatic());
  EXPECT_FALSE(coordinator.lease());
  EXPECT_FALSE(coordinator.timerRunning());
  EXPECT_EQ(restored.status->mode, FanControlMode::system);
  EXPECT_FALSE(restored.status->sessionID);

  // With no session nothing is written.
  const std::size_t calls = tp.smc.writtenKeys().size();
  EXPECT_EQ(restore().message,
            "No Tidewarden fan override is active. No mode write was requested; the reported fan state does not "
            "identify its owner.");
  EXPECT_EQ(tp.smc.writtenKeys().size(), calls);
}

TEST_F(FanControlCoordinatorTest, ApplyRefusalsWriteNothingAndKeepTheSession) {
  // Without a session the reply adds the unchanged current message.
  struct Case {
    const char* what;
    std::function<void(FanControlRequest&)> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"unacknowledged", [](auto& r) { r.acknowledged = false; }, "Explicit fan-control acknowledgment is required."},
      {"system", [](auto& r) { r.mode = FanControlMode::system; }, "Explicit fan-control acknowledgment is required."},
      {"threshold", [](auto& r) { r.thresholdCelsius = 90.5; }, "Auto Max threshold must be 60–90°C."},
      {"manual fan", [this](auto&) { tp.smc.keys["F1Md"] = FakeSmc::ui8(1); },
       "Manual fan state was detected before this Tidewarden session; its source is unknown. New targets were not "
       "applied. Establish a verified System state before trying again."},
  };
  for (const Case& c : cases) {
    FanControlRequest refused = request(Action::apply);
    c.change(refused);
    EXPECT_EQ(coordinator.perform(refused).message, c.message + " " + FanControlCoordinator::kInitialMessage)
        << c.what;
  }
  EXPECT_TRUE(tp.smc.writtenKeys().empty());
  EXPECT_FALSE(coordinator.lease());
  EXPECT_FALSE(std::filesystem::exists(recordPath()));
  tp.smc.keys["F1Md"] = FakeSmc::ui8(0);

  ASSERT_TRUE(apply().accepted);
  const std::string session = coordinator.lease()->id;
  const std::size_t writes = tp.smc.writtenKeys().size();
  FanControlRequest other = request(Action::apply);
  other.sessionID.reset();
  const FanControlReply refused = coordinator.perform(other);
  EXPECT_FALSE(refused.accepted);
  EXPECT_EQ(refused.message,
            "Another fan session is active. Restore System before starting another one. New request rejected before "
            "any fan write. The existing session was not replaced.");
  other.sessionID = "00000000-0000-0000-0000-000000000000";
  EXPECT_FALSE(coordinator.perform(other).accepted);
  EXPECT_EQ(coordinator.lease()->id, session);
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes);
  EXPECT_EQ(reg("F0Md"), 1);
}

TEST_F(FanControlCoordinatorTest, LeaseRenewsWithinTwelveSecondsAndNotAfter) {
  ASSERT_TRUE(apply().accepted);
  FanControlRequest stranger = request(Action::renew);
  stranger.sessionID = "stranger";
  EXPECT_EQ(coordinator.perform(stranger).message,
            "The fan session ended. System control must be reviewed before another override. New request rejected "
            "before any fan write. The existing session was not replaced.");
  EXPECT_EQ(reg("F0Md"), 1);

  tp.clock.up = 1011.75;  // the session started at 1000
  EXPECT_TRUE(renew().accepted);
  tp.clock.up = 1023.75;  // 12 s after that renewal
  const FanControlReply late = renew();
  EXPECT_FALSE(late.accepted);
  EXPECT_EQ(late.message,
            std::string("The previous fan lease expired. Restore System and explicitly start a new session; a late "
                        "heartbeat cannot revive it. ") +
                kOverrideStopped);
  EXPECT_TRUE(fansAutomatic());
  EXPECT_FALSE(coordinator.lease());
}

// Each rule of the control step holds a session at its limit and returns the fans to
// System just past it.
TEST_F(FanControlCoordinatorTest, EachStepRuleHoldsAtItsLimitAndReturnsControlPastIt) {
  struct Case {
    std::function<void(double started)> atLimit;
    std::function<void(double started)> past;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[this](double started) { tp.clock.up = started + 11.9; }, [this](double started) { tp.clock.up = started + 12; },
       "Fan session expired or the app stopped responding. System control restored."},
      {[this](double) { tp.smc.keys["F1Tg"] = FakeSmc::fpe2(3502.0); },
       [this](double) { tp.smc.keys["F1Tg"] = FakeSmc::fpe2(3502.5); },
       "Safety return to System: The controller changed the requested fan mode or target. Tidewarden will not fight "
       "another controller or disable thermal protection."},
      {[this](double) { setCpu(95.0); }, [this](double) { setCpu(95.1); },
       "Manual boost stopped at the conservative software temperature guard. System control restored."},
      {[this](double) { tp.power.thermal = platform::ThermalState::fair; },
       [this](double) { tp.power.thermal = platform::ThermalState::serious; },
       "macOS reported elevated thermal pressure. Control returned to System."},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(apply().accepted);
    const double started = coordinator.lease()->started;
    c.atLimit(started);
    coordinator.controlTick();
    EXPECT_EQ(coordinator.lastMessage(), kManualVerified);
    c.past(started);
    coordinator.controlTick();
    EXPECT_EQ(coordinator.lastMessage(), c.message);
    EXPECT_TRUE(fansAutomatic());
    EXPECT_FALSE(coordinator.lease());
    setCpu(50);
    tp.power.thermal = platform::ThermalState::nominal;
  }

  // Without a CPU reading Manual Boost is not held at all.
  tp.smc.keys.erase("TC0P");
  const FanControlReply blind = apply();
  EXPECT_EQ(blind.message, std::string("Manual boost requires a supported, current CPU temperature for its software "
                                       "guard. ") +
                               kOverrideStopped);
  EXPECT_TRUE(fansAutomatic());
}

TEST_F(FanControlCoordinatorTest, AutoMaxHysteresis) {
  EXPECT_EQ(fanRefusalOf([] { decideAutoMaxBoost(140, 70, false); }),
            "Auto Max requires a supported fresh temperature and a 60–90°C threshold.");

  setCpu(70.0);
  const FanControlReply armed = apply(FanControlMode::autoMax);
  ASSERT_TRUE(armed.accepted) << armed.message;
  EXPECT_EQ(armed.message, kArmed);
  EXPECT_TRUE(tp.smc.writtenKeys().empty());

  setCpu(70.1);
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(), kBoosting);
  EXPECT_EQ(reg("F0Tg"), 5700);
  EXPECT_EQ(reg("F1Tg"), 6000);
  setCpu(65.1);
  coordinator.controlTick();
  EXPECT_EQ(reg("F0Md"), 1);
  setCpu(65.0);
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(), kArmed);
  EXPECT_TRUE(fansAutomatic());
  ASSERT_TRUE(coordinator.lease());
  EXPECT_FALSE(coordinator.lease()->touched);

  // While armed, a fan another tool switched to manual ends the session.
  tp.smc.keys["F0Md"] = FakeSmc::ui8(1);
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(), "Safety return to System: An external controller took manual fan control.");
  EXPECT_FALSE(coordinator.lease());
}

// Auto Max reads the source the user chose: "either" is the higher of the readable
// sensors, so a missing CPU reading does not hide a hot GPU.
TEST_F(FanControlCoordinatorTest, AutoMaxFollowsTheChosenTemperatureSource) {
  struct Case {
    FanThermalSource source;
    std::optional<double> cpu;
    double gpu;
    const char* message;
  };
  const std::vector<Case> cases = {
      {FanThermalSource::either, std::nullopt, 80, kBoosting}, {FanThermalSource::either, 60, 80, kBoosting},
      {FanThermalSource::either, 80, 60, kBoosting},          {FanThermalSource::either, 60, 70, kArmed},
      {FanThermalSource::gpu, 80, 60, kArmed},                {FanThermalSource::gpu, std::nullopt, 80, kBoosting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.source) << " " << c.cpu.value_or(-1) << " " << c.gpu);
    if (c.cpu) setCpu(*c.cpu);
    if (!c.cpu) tp.smc.keys.erase("TC0P");
    tp.smc.keys["TG0P"] = FakeSmc::sp78(c.gpu);
    EXPECT_EQ(applyAutoMax(c.source, 75).message, c.message);
    EXPECT_EQ(reg("F0Md"), c.message == kBoosting ? 1 : 0);
    ASSERT_TRUE(restore().accepted);
  }

  // Armed, a fan another tool set to manual is not taken over when the boost begins.
  setCpu(60);
  ASSERT_TRUE(apply(FanControlMode::autoMax).accepted);
  tp.smc.keys["F1Md"] = FakeSmc::ui8(1);
  setCpu(80);
  const std::size_t writes = tp.smc.writtenKeys().size();
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(),
            "Safety return to System: A fan entered manual mode before this acquisition. Its source is unknown; no new "
            "write to that fan was attempted.");
  EXPECT_EQ(writesSince(writes), (std::vector<std::string>{"F0Md", "F0Tg", "F0Md"}));  // fan 2 never
}

// The all-fan check after an acquisition: what changed while the fans were written
// ends the override, and a return to System that does not verify is said so.
TEST_F(FanControlCoordinatorTest, TheCompletedAcquisitionCheckRefusesWhatChangedDuringTheWrites) {
  const std::string required = " System restoration is required. ";
  const std::string thermal = "macOS reported elevated thermal pressure during fan acquisition.";
  struct Case {
    std::function<void()> change;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[this] { tp.power.thermal = platform::ThermalState::serious; }, thermal + required + kOverrideStopped},
      {[this] { setCpu(95.5); },
       "Manual boost temperature guard could not be satisfied after target observation." + required + kOverrideStopped},
      {[this] { tp.clock.up += 12.5; },
       "Fan session expired while target readback was being checked." + required + kOverrideStopped},
      {[this] {
         tp.power.thermal = platform::ThermalState::serious;
         refuseWritesOf("F1Md");
       },
       thermal + required + "Fan override failed and System restoration could not be verified: " +
           testing::controllerRefusal("key=F1Md, command=6, I/O=0, SMC result=134, SMC status=0, reply bytes=80")},
  };
  for (const Case& c : cases) {
    // The check begins with a fresh inventory, after the fourth write (fan 2's target).
    const std::size_t base = tp.smc.writtenKeys().size();
    bool changed = false;
    beforeEveryCall = [&] {
      if (changed || tp.smc.writtenKeys().size() != base + 4 || tp.smc.keyOf(tp.smc.received.size() - 1) != "FNum") {
        return;
      }
      changed = true;
      c.change();
    };
    EXPECT_EQ(apply().message, c.message);
    EXPECT_TRUE(changed);
    tp.power.thermal = platform::ThermalState::nominal;
    setCpu(50);
  }
  EXPECT_TRUE(coordinator.restorationPending());
  EXPECT_EQ(reg("F0Md"), 0);
}

TEST_F(FanControlCoordinatorTest, AnUnverifiedRestorationBlocksNewOverridesUntilItVerifies) {
  ASSERT_TRUE(apply().accepted);
  refuseWritesOf("F1Md");
  const FanControlReply failed = restore();
  EXPECT_FALSE(failed.accepted);
  EXPECT_TRUE(coordinator.restorationPending());
  ASSERT_TRUE(coordinator.lease());
  EXPECT_EQ(reg("F0Md"), 0);
  EXPECT_EQ(reg("F1Md"), 1);
  ASSERT_TRUE(failed.status);
  EXPECT_FALSE(failed.status->supported);
  EXPECT_EQ(failed.status->restorationPending, true);
  // What is true now, not the session's last success.
  EXPECT_EQ(failed.status->message, kRestorationUnverified);
  EXPECT_TRUE(failed.message.ends_with(kRestorationUnverified)) << failed.message;

  const FanControlReply blocked = apply();
  EXPECT_EQ(blocked.message,
            "System restoration has not been verified; no new override is allowed. New request rejected before any "
            "fan write. The existing session was not replaced.");
  // The step retries the one unverified fan (each step once: the restart recovery tests);
  // the verified one is not written again.
  refuseWritesOf("F1Md", 0);
  const std::size_t before = tp.smc.writtenKeys().size();
  coordinator.controlTick();
  EXPECT_EQ(writesSince(before), std::vector<std::string>{"F1Md"});
  EXPECT_FALSE(coordinator.restorationPending());
  EXPECT_EQ(coordinator.lastMessage(), "Pending safety restoration returned fans to System.");
  EXPECT_TRUE(fansAutomatic());
  EXPECT_TRUE(apply().accepted);
}

TEST_F(FanControlCoordinatorTest, AFanThatVanishesOrARecordThatStaysEndsTheWritesButIsReported) {
  // A fan the controller no longer reports cannot be released; the others are, once.
  ASSERT_TRUE(apply().accepted);
  for (const char* key : {"F1Ac", "F1Mn", "F1Mx", "F1Tg", "F1Md"}) tp.smc.keys.erase(key);
  tp.smc.keys["FNum"] = FakeSmc::ui8(1);
  std::size_t before = tp.smc.writtenKeys().size();
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(),
            "Safety return to System: Fan layout or limits changed during control. Fan 2 is no longer reported by the "
            "controller, so no release could be written to it.");
  EXPECT_EQ(tp.smc.writtenKeys().size(), before + 1);
  EXPECT_FALSE(coordinator.restorationPending());
  EXPECT_FALSE(coordinator.lease());
  EXPECT_FALSE(std::filesystem::exists(recordPath()));
  coordinator.controlTick();
  EXPECT_EQ(tp.smc.writtenKeys().size(), before + 1);

  // Releases that verify but a record that cannot be deleted: the fans are in System, the
  // deletion is retried without writing again, and the message says so until it is done.
  ASSERT_TRUE(apply(FanControlMode::maximum).accepted);
  std::filesystem::remove(recordPath());
  std::filesystem::create_directories(recordPath() + "/stuck");
  const FanControlReply restored = restore();
  EXPECT_TRUE(restored.accepted);
  const std::string stuck =
      "System control restored by the user. Could not clear the completed fan recovery record. Every fan is verified "
      "in System; Tidewarden retries the deletion every second.";
  EXPECT_EQ(restored.message, stuck);
  EXPECT_EQ(restored.status->message, stuck);
  EXPECT_EQ(reg("F0Md"), 0);
  EXPECT_FALSE(coordinator.restorationPending());
  before = tp.smc.writtenKeys().size();
  coordinator.controlTick();
  coordinator.controlTick();
  EXPECT_EQ(tp.smc.writtenKeys().size(), before);
  EXPECT_EQ(coordinator.lastMessage(), stuck);
  EXPECT_TRUE(coordinator.timerRunning());
  std::filesystem::remove_all(recordPath());
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(), "System control restored by the user.");
  EXPECT_FALSE(coordinator.timerRunning());
}

TEST_F(FanControlCoordinatorTest, ThermalPressureAndSleepReturnControlToSystem) {
  tp.power.registrationWorks = false;
  EXPECT_EQ(apply().message, std::string("Sleep protection could not be installed. Fan overrides remain disabled. ") +
                                 FanControlCoordinator::kInitialMessage);
  EXPECT_TRUE(tp.smc.writtenKeys().empty());
  tp.power.registrationWorks = true;

  // A first step that returns control at once fails the apply with its own reason.
  tp.power.thermal = platform::ThermalState::serious;
  const FanControlReply pressed = apply();
  EXPECT_EQ(pressed.message, "macOS reported elevated thermal pressure. Control returned to System.");
  ASSERT_TRUE(pressed.status);
  EXPECT_EQ(pressed.status->message, pressed.message);
  tp.power.thermal = platform::ThermalState::nominal;
  EXPECT_TRUE(tp.smc.writtenKeys().empty());

  ASSERT_TRUE(apply().accepted);
  EXPECT_EQ(tp.power.registrations, 2);  // the failed one, then once for good
  ASSERT_TRUE(tp.power.handler);
  tp.power.handler(platform::kCanSystemSleep, 8);
  EXPECT_EQ(tp.power.allowed, std::vector<std::intptr_t>{8});
  EXPECT_EQ(reg("F0Md"), 1);  // can-sleep is only answered
  // Sleep goes ahead only after the restoration ran, also when it did not verify: no
  // controller call comes after its allowance. (A verified one: the fan simulator tests.)
  refuseWritesOf("F1Md", 1);
  int callsAfterAllowed = 0;
  beforeEveryCall = [&] { callsAfterAllowed += tp.power.allowed.back() == 10; };
  tp.power.handler(platform::kSystemWillSleep, 10);
  queue.sync([] {});
  beforeEveryCall = nullptr;
  EXPECT_EQ(tp.power.allowed, (std::vector<std::intptr_t>{8, 10}));
  EXPECT_EQ(callsAfterAllowed, 0);
  EXPECT_TRUE(coordinator.restorationPending());
  coordinator.controlTick();
  EXPECT_TRUE(fansAutomatic());

  // Protection lost: the held fans go back at once, and no override is taken until a
  // new registration succeeds.
  ASSERT_TRUE(apply().accepted);
  tp.power.handler(platform::kSleepProtectionLost, 0);
  queue.sync([] {});
  EXPECT_EQ(coordinator.lastMessage(),
            "Sleep protection was lost, so control returned to System. New fan overrides are refused until it is "
            "installed again.");
  EXPECT_TRUE(fansAutomatic());
  tp.power.registrationWorks = false;
  EXPECT_TRUE(apply().message.starts_with("Sleep protection could not be installed. Fan overrides remain disabled."));
  tp.power.registrationWorks = true;
  EXPECT_TRUE(apply().accepted);
  EXPECT_EQ(tp.power.registrations, 4);
}

// A long session rewrites its recovery record every 300 s of uptime, and its event log
// still holds the writes that took the fans: the sensors this Mac lacks (five on the
// Intel lists) are logged once, not at every renewal.
TEST_F(FanControlCoordinatorTest, ALongSessionRewritesItsRecordEveryThreeHundredSecondsAndKeepsItsWritesLogged) {
  const auto advance = [&](double seconds) {
    tp.clock.up += seconds;
    tp.clock.wall += seconds;
  };
  ASSERT_TRUE(apply().accepted);
  const double refreshed = coordinator.lease()->journalRefreshedUptime;
  const std::optional<FanRecoveryRecord> first = store.read();
  ASSERT_TRUE(first);
  // Renewed every 10 s: each renewal runs a step, none rewrites the record early.
  while (tp.clock.up + 10 < refreshed + kRecoveryRecordRefreshSeconds) {
    advance(10);
    ASSERT_TRUE(renew().accepted);
  }
  advance(refreshed + kRecoveryRecordRefreshSeconds - 0.01 - tp.clock.up);
  ASSERT_TRUE(renew().accepted);
  EXPECT_EQ(store.read(), first);
  EXPECT_EQ(coordinator.lease()->journalRefreshedUptime, refreshed);

  advance(0.02);
  ASSERT_TRUE(renew().accepted);
  const std::optional<FanRecoveryRecord> second = store.read();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->createdAt.secondsSinceReferenceDate, tp.clock.wall);
  EXPECT_EQ(coordinator.lease()->journalRefreshedUptime, tp.clock.up);
  // Only its date is new.
  FanRecoveryRecord same = *second;
  same.createdAt = first->createdAt;
  EXPECT_EQ(same, first);
  EXPECT_EQ(second->expected, (std::map<std::int32_t, double>{{0, 3000}, {1, 3500}}));
  EXPECT_EQ(second->modeFenceFanIDs, (std::vector<std::int32_t>{0, 1}));

  tp.smc.keys["F1Tg"] = FakeSmc::fpe2(3510);
  advance(5);
  const FanControlReply failed = renew();
  ASSERT_FALSE(failed.accepted);
  for (const char* line : {"WRITE key=F0Md, command=6", "MODE VERIFIED F0Md=1", "WRITE key=F1Tg, command=6",
                           "TARGET VERIFIED F1Tg=3500.000", "MODE VERIFIED F1Md=0"}) {
    EXPECT_NE(failed.diagnostics->find(line), std::string::npos) << line << "\n" << *failed.diagnostics;
  }
}

TEST_F(FanControlCoordinatorTest, AnActiveSessionChangesItsTargetsOnlyWhileAliveAndValid) {
  ASSERT_TRUE(apply().accepted);
  const std::string session = coordinator.lease()->id;
  const std::size_t writes = tp.smc.writtenKeys().size();

  // A target below the session's boost floor changes nothing and keeps the session.
  EXPECT_EQ(applyTargets({{0, 1000}, {1, 4000}}).message,
            "Fan 0: requested 1000.000 RPM; current boost-only range 1800.000–5700.000 RPM. All targets were rejected "
            "before writes. Refresh the fan check and explicitly choose targets within the new ranges; no target is "
            "increased automatically. New request rejected before any fan write. The existing session was not "
            "replaced.");
  EXPECT_EQ(tp.smc.writtenKeys().size(), writes);
  EXPECT_EQ(coordinator.lease()->id, session);
  EXPECT_EQ(coordinator.lease()->targets, (std::map<std::int32_t, double>{{0, 3000}, {1, 3500}}));
  EXPECT_EQ(store.read()->expected, (std::map<std::int32_t, double>{{0, 3000}, {1, 3500}}));

  // The owner changes its targets in place, without returning to System; the record
  // names the new targets before the first of them reaches the controller.
  std::optional<FanRecoveryRecord> recordAtWrite;
  beforeEveryCall = [&] {
    if (!recordAtWrite && tp.smc.writtenKeys().size() == writes + 1) recordAtWrite = store.read();
  };
  tp.clock.up = 1011.0;
  const FanControlReply updated = applyTargets({{0, 4000}, {1, 3501}});
  ASSERT_TRUE(updated.accepted) << updated.message;
  EXPECT_EQ(updated.message,
            "Manual Boost targets updated and verified without returning to System. Measured RPM may take time to "
            "settle.");
  EXPECT_EQ(coordinator.lease()->id, session);
  ASSERT_TRUE(recordAtWrite);
  EXPECT_EQ(recordAtWrite->expected, (std::map<std::int32_t, double>{{0, 4000}, {1, 3501}}));
  // Fan 2's new target is within 2 RPM of its old one: not rewritten.
  EXPECT_EQ(tp.smc.writtenKeys(), (std::vector<std::string>{"F0Md", "F0Tg", "F1Md", "F1Tg", "F0Tg"}));

  // A change of targets is no heartbeat: the session still ends 12 s after the apply.
  tp.clock.up = 1012.0;
  coordinator.controlTick();
  EXPECT_EQ(coordinator.lastMessage(), "Fan session expired or the app stopped responding. System control restored.");
  EXPECT_TRUE(fansAutomatic());

  // An update of an expired session writes no target and returns the fans.
  ASSERT_TRUE(apply().accepted);
  tp.clock.up += 12.0;
  const std::size_t before = tp.smc.writtenKeys().size();
  const FanControlReply late = applyTargets({{0, 4000}, {1, 3501}});
  EXPECT_EQ(late.message,
            std::string("The fan session expired; it cannot be renewed by changing a target. ") + kOverrideStopped);
  EXPECT_EQ(writesSince(before), (std::vector<std::string>{"F0Md", "F1Md"}));
  EXPECT_TRUE(fansAutomatic());

  // Old targets that no longer hold end the session before any new target is written.
  ASSERT_TRUE(apply().accepted);
  tp.smc.keys["F1Tg"] = FakeSmc::fpe2(3503);
  const std::size_t drifted = tp.smc.writtenKeys().size();
  EXPECT_EQ(coordinator.perform(request(Action::apply)).message,
            std::string("Fan mode, target or layout changed before the completed acquisition check. Tidewarden will "
                        "return its touched fans to System without retrying targets. ") +
                kOverrideStopped);
  EXPECT_EQ(tp.smc.writtenKeys().size(), drifted + 2);  // the two releases only
  EXPECT_EQ(reg("F0Tg"), 3000);
  EXPECT_TRUE(fansAutomatic());
}

TEST_F(FanControlCoordinatorTest, AutoMaxUpdatesOfAHeldSession) {
  setCpu(80);
  ASSERT_TRUE(apply(FanControlMode::autoMax).accepted);
  ASSERT_TRUE(coordinator.lease()->boosted);
  EXPECT_EQ(reg("F0Tg"), 5700);
  const std::size_t writes = tp.smc.writtenKeys().size();

  // Still above the new threshold: the maxima hold and nothing is written.
  EXPECT_EQ(applyAutoMax(FanThermalSource::either, 75).message,
            "Auto Max targets updated and verified without returning to System. Measured RPM may take time to settle.");
  EXPECT_TRUE(writesSince(writes).empty());

  // Already at or below the new threshold's band: no target is written, the fans are
  // released and the session stays armed.
  const FanControlReply armed = applyAutoMax(FanThermalSource::either, 85);
  ASSERT_TRUE(armed.accepted) << armed.message;
  EXPECT_EQ(armed.message, kArmed);
  EXPECT_EQ(writesSince(writes), (std::vector<std::string>{"F0Md", "F1Md"}));
  EXPECT_TRUE(fansAutomatic());
  EXPECT_FALSE(std::filesystem::exists(recordPath()));
  ASSERT_TRUE(coordinator.lease());
  EXPECT_EQ(coordinator.lease()->threshold, 85);

  // Armed (not held), an update replaces the lease and the next step acts on it.
  const FanControlReply manual = apply();
  ASSERT_TRUE(manual.accepted) << manual.message;
  EXPECT_EQ(manual.message, kManualVerified);
  EXPECT_EQ(reg("F0Tg"), 3000);

  // Held, a switch to Auto Max on a source that cannot be read returns the fans.
  EXPECT_EQ(applyAutoMax(FanThermalSource::gpu, 70).message,
            std::string("Auto Max temperature is unavailable. ") + kOverrideStopped);
  EXPECT_TRUE(fansAutomatic());
  EXPECT_FALSE(coordinator.lease());
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(FanControlCoordinatorTest, TheReportListsItsLinesInOrder) {
  const FanControlReply inspected = coordinator.perform(request(Action::inspect));
  ASSERT_TRUE(inspected.diagnostics);
  const auto lines = linesOf(*inspected.diagnostics);
  ASSERT_GE(lines.size(), 15u);
  EXPECT_EQ(lines[0], "Tidewarden fan-control report — V4.7.7 / fan-control-lease-v5-free-repair1");
  EXPECT_EQ(lines[1], "Read-only report generated: 2026-05-09T06:13:20Z");
  EXPECT_EQ(lines[2], "Model: MacBookPro16,1; chip: Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz");
  EXPECT_EQ(lines[3], "OS: macOS 15.0");
  EXPECT_EQ(lines[8],
            "Helper execution: UID=0, EUID=0. Key attributes below are raw metadata, not proof of write support.");
  EXPECT_EQ(lines[9], "Restoration pending: false; recovery blocked: false");
  EXPECT_EQ(lines[11], "Fan 1 [F0]: actual=1800.0, target=1800.0, min=1200.0, max=5700.0 RPM; manual=false");
  EXPECT_EQ(lines[12], "Fan 2 [F1]: actual=2000.0, target=2000.0, min=1200.0, max=6000.0 RPM; manual=false");
  EXPECT_EQ(lines[13],
            "No new override attempt has been recorded by this helper session. Inspection has not tested a write.");
  EXPECT_EQ(lines[14], "Read-only controller metadata captured: 2026-05-09T06:13:20Z");
  EXPECT_TRUE(tp.smc.writtenKeys().empty());
  EXPECT_EQ(inspected.status->diagnostics, inspected.diagnostics);

  // A failed apply keeps the writes that led to it, even after the transport was dropped.
  refuseWritesOf("F1Tg");
  const FanControlReply failed = apply();
  EXPECT_FALSE(failed.accepted);
  EXPECT_TRUE(fansAutomatic());
  const auto after = linesOf(*failed.diagnostics);
  ASSERT_GE(after.size(), 18u);
  EXPECT_EQ(after[13], "Latest explicit apply/failed heartbeat: 2026-05-09T06:13:20Z");
  EXPECT_EQ(after[14], "Action: apply; requested mode: manual");
  EXPECT_EQ(after[15], "Draft targets (Max/Auto Max use detected maxima instead): Fan 1: 3000.0 RPM; Fan 2: 3500.0 RPM");
  EXPECT_TRUE(after[16].starts_with("Outcome: The controller refused a fan operation (key=F1Tg")) << after[16];
  EXPECT_TRUE(after[16].ends_with(kOverrideStopped)) << after[16];
  EXPECT_NE(failed.diagnostics->find("\nREFUSED key=F1Tg"), std::string::npos);
}

}  // namespace
}  // namespace tidewarden::fan
