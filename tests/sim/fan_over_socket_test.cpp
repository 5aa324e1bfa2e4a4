// Fan control over the real socket: the signed client holds the simulated Mac's fans, and the helper gives them back
// after a crash, before sleep and when the client stops renewing. Runs on the simulator's real clock.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_program.h"
#include "support/fan_fixture.h"
#include "support/platform_waits.h"
#include "support/served_mac_fixture.h"
#include "support/simulator_process.h"

namespace tidewarden::testing {
namespace {

using namespace std::chrono_literals;

// An apply acquires every fan with bounded observations (about a second per stage at
// most); sanitizer builds are slower.
constexpr auto kReplyBound = 60s;
// The helper ends a session 12 s after its last renewal, on the next one-second step.
constexpr auto kLeaseLapse = 13s;
// Time a restoration to System takes (bounded observations), and slow builds.
constexpr auto kMargin = 5s;

bool contains(const nlohmann::json& list, std::int64_t id) {
  return std::any_of(list.begin(), list.end(), [id](const nlohmann::json& item) { return item == id; });
}

class FanOverSocketTest : public ServedMacTest {
 protected:
  std::string recordPath() const { return host("/Library/Application Support/Tidewarden/FanControl/lease.json"); }
  // `fan apply --manual 0=3000,1=3500` as a child left running (it renews every 5 s).
  std::unique_ptr<RunningProgram> startManualBoost() {
    return std::make_unique<RunningProgram>(std::vector<std::string>{
        TIDEWARDEN_CTL_PATH, "--socket", socket(), "fan", "apply", "--acknowledge", "--manual", "0=3000,1=3500"});
  }
  // Returns once the helper accepted the boost, with both fans held in the world.
  std::unique_ptr<RunningProgram> holdFans() {
    std::unique_ptr<RunningProgram> holder = startManualBoost();
    EXPECT_EQ(holder->readLine(kReplyBound), kManualVerified);
    const nlohmann::json shown = showWorld(mac());
    EXPECT_EQ(fanModes(shown), (std::vector<int>{1, 1}));
    EXPECT_EQ(shown["smc"]["fans"][0]["targetRPM"], 3000.0);
    EXPECT_EQ(shown["smc"]["fans"][1]["targetRPM"], 3500.0);
    EXPECT_TRUE(std::filesystem::exists(recordPath()));
    return holder;
  }
  // The reply of `fan inspect --json`.
  nlohmann::json inspect() {
    const ProgramResult inspected = ctl({"fan", "inspect", "--json"});
    EXPECT_EQ(inspected.exitCode, 0) << inspected.standardError;
    return nlohmann::json::parse(inspected.standardOutput, nullptr, false);
  }
  // The helper's current fan message.
  std::string fanMessage() { return inspect().value("message", ""); }
};

TEST_F(FanOverSocketTest, SleepIsAllowedOnlyAfterTheFansAreBackInSystem) {
  std::unique_ptr<RunningProgram> holder = holdFans();
  ASSERT_FALSE(HasFailure());

  // "Can the system sleep?" is answered at once and changes nothing.
  const ProgramResult canSleep = world({"power", "can-sleep"});
  ASSERT_EQ(canSleep.exitCode, 0) << canSleep.standardError;
  const std::int64_t canID = std::stoll(canSleep.standardOutput);
  const auto answered = awaitWorld(
      mac(), [&](const nlohmann::json& w) { return contains(w["power"]["allowed"], canID); }, kReplyBound);
  ASSERT_TRUE(answered);
  EXPECT_EQ(fanModes(*answered), (std::vector<int>{1, 1}));

  // "The system will sleep": every world in which sleep was let go ahead already has
  // both fans automatic.
  const ProgramResult willSleep = world({"power", "will-sleep"});
  ASSERT_EQ(willSleep.exitCode, 0) << willSleep.standardError;
  const std::int64_t willID = std::stoll(willSleep.standardOutput);
  int allowedWhileHeld = 0;
  const auto slept = awaitWorld(
      mac(), [&](const nlohmann::json& w) { return contains(w["power"]["allowed"], willID); }, kReplyBound,
      [&](const nlohmann::json& w) {
        if (contains(w["power"]["allowed"], willID) && !allFans(w, 0)) ++allowedWhileHeld;
      },
      10ms);
  ASSERT_TRUE(slept);
  EXPECT_EQ(allowedWhileHeld, 0);
  EXPECT_EQ(fanModes(*slept), (std::vector<int>{0, 0}));
  EXPECT_EQ((*slept)["power"]["allowed"], nlohmann::json::array({canID, willID}));
  EXPECT_FALSE(std::filesystem::exists(recordPath()));
  EXPECT_EQ(fanMessage(), "System control restored before sleep.");

  holder->stop(SIGKILL, kSimulatorStopBound);
  EXPECT_EQ(simulator_->stop(), 0);
}

TEST_F(FanOverSocketTest, AClientThatStopsRenewingLosesTheFansWithinThirteenSeconds) {
  std::unique_ptr<RunningProgram> holder = holdFans();
  ASSERT_FALSE(HasFailure());
  // The apply was its last renewal; it is killed before the first renewal at 5 s.
  const auto lastRenewal = std::chrono::steady_clock::now();
  EXPECT_EQ(holder->stop(SIGKILL, kSimulatorStopBound), 128 + SIGKILL);

  const auto released = awaitWorld(mac(), [](const nlohmann::json& w) { return allFans(w, 0); }, kLeaseLapse + kMargin);
  const auto elapsed = std::chrono::steady_clock::now() - lastRenewal;
  ASSERT_TRUE(released) << "fans still held "
                        << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count() << " s later";
  // Not ended early: the connection going away is not what ends a session.
  EXPECT_GE(elapsed, 8s);
  EXPECT_LE(elapsed, kLeaseLapse + kMargin);
  // The record goes just after the readback that the world already shows.
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(recordPath()); }, kMargin));
  EXPECT_EQ(fanMessage(), "Fan session expired or the app stopped responding. System control restored.");
  EXPECT_EQ(simulator_->stop(), 0);
}

// A helper that died holding the fans (the controller keeps its registers, the record
// stays) returns them at its next start, before it serves any request. A fan whose
// release is refused stays pending and is retried; the others are back at once, and
// once every fan is verified a new override is allowed.
TEST_F(FanOverSocketTest, FansAHelperDiedHoldingReturnToSystemAtItsNextStartAndAFailedReleaseIsRetried) {
  std::unique_ptr<RunningProgram> holder = holdFans();
  ASSERT_FALSE(HasFailure());
  EXPECT_TRUE(kill());
  holder->stop(SIGKILL, kSimulatorStopBound);
  EXPECT_EQ(fanModes(showWorld(mac())), (std::vector<int>{1, 1}));
  ASSERT_TRUE(std::filesystem::exists(recordPath()));
  change({"smc-fault", "--key", "F0Md", "--command", "write", "--result", "0x86"});  // fan 1's release, until cleared
  ASSERT_TRUE(serve());
  const nlohmann::json pending = inspect();
  EXPECT_EQ(pending["status"]["restorationPending"], true);
  EXPECT_EQ(pending["status"]["supported"], false);
  EXPECT_EQ(fanModes(showWorld(mac())), (std::vector<int>{1, 0}));
  EXPECT_TRUE(std::filesystem::exists(recordPath()));
  EXPECT_EQ(ctl({"fan", "apply", "--acknowledge", "--max", "--renewals", "0"}).exitCode, 4);

  change({"clear-smc-faults"});
  EXPECT_TRUE(awaitWorld(mac(), [](const nlohmann::json& w) { return allFans(w, 0); }, kMargin));
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(recordPath()); }, kMargin));
  EXPECT_EQ(fanMessage(), "Pending safety restoration returned fans to System.");
  holder = holdFans();
  EXPECT_EQ(holder->stop(SIGINT, kSimulatorStopBound), 0);
  EXPECT_TRUE(allFans(showWorld(mac()), 0));
  EXPECT_EQ(simulator_->stop(), 0);
}

// Kills the helper at 12 random points of a session (before, during and after the
// fans are taken), half of them with the next release of fan 1's mode refused once,
// and checks that every restart has every fan back in System within 15 s and the
// record gone. Where the kill lands does not decide the outcome: every point must
// end the same way, so the delay only spreads the kills over the session.
TEST_F(FanOverSocketTest, AHelperKilledAnywhereInASessionHasEveryFanBackInSystemAfterItsRestart) {
  constexpr int kKills = 12;
  constexpr auto kRestartBound = 15s;
  std::mt19937 random(14);
  std::uniform_int_distribution<int> delayMs(0, 900);
  for (int round = 0; round <= kKills; ++round) {
    const auto released = awaitWorld(
        mac(), [&](const nlohmann::json& w) { return allFans(w, 0) && !std::filesystem::exists(recordPath()); },
        kRestartBound);
    ASSERT_TRUE(released) << "kill " << round << ": fans " << ::testing::PrintToString(fanModes(showWorld(mac())))
                          << ", record " << std::filesystem::exists(recordPath());
    change({"clear-smc-faults"});
    if (round == kKills) {
      EXPECT_EQ(inspect()["status"]["supported"], true);
      EXPECT_EQ(simulator_->stop(), 0);
      break;
    }
    std::unique_ptr<RunningProgram> holder = startManualBoost();
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    EXPECT_TRUE(kill());
    holder->stop(SIGKILL, kSimulatorStopBound);
    if (round % 2 == 1) {
      change({"smc-fault", "--key", "F0Md", "--command", "write", "--result", "0x86", "--times", "1"});
    }
    ASSERT_TRUE(serve());
  }
  // No temporary record outlived a restart.
  const std::filesystem::path directory = std::filesystem::path(recordPath()).parent_path();
  if (std::filesystem::exists(directory)) {
    EXPECT_TRUE(std::filesystem::is_empty(directory));
  }
}

}  // namespace
}  // namespace tidewarden::testing
