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
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
// An apply acquires every fan with bounded observations (about a second per stage at
// most); sanitizer builds are slower.
constexpr auto kReplyBound = 60s;
// The helper ends a session 12 s after its last renewal, on the next one-second step.
constexpr auto kLeaseLapse = 13s;
// Time a restoration to System takes (bounded observations), and slow builds.
constexpr auto kMargin = 5s;

std::vector<int> fanModes(const nlohmann::json& world) {
  std::vector<int> modes;
  for (const auto& fan : world["smc"]["fans"]) modes.push_back(fan["mode"].get<int>());
  return modes;
}
bool allFans(const nlohmann::json& world, int mode) {
  const std::vector<int> modes = fanModes(world);
  return !modes.empty() && std::all_of(modes.begin(), modes.end(), [mode](int m) { return m == mode; });
}
bool contains(const nlohmann::json& list, std::int64_t id) {
  return std::any_of(list.begin(), list.end(), [id](const nlohmann::json& item) { return item == id; });
}

class FanOverSocketTest : public ::testing::Test {
 protected:
  std::string worldDir() const { return dir_.path() + "/mac"; }
  std::string recordPath() const {
    return worldDir() + "/root/Library/Application Support/Tidewarden/FanControl/lease.json";
  }
  std::vector<std::string> ctlArguments(const ServingSimulator& simulator, std::vector<std::string> arguments) {
    std::vector<std::string> argv{kCtl, "--socket", simulator.socketPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }
  // `fan apply --manual 0=3000,1=3500` left running (it renews every 5 s); returns once
  // the helper accepted it, with both fans held in the world.
  std::unique_ptr<RunningProgram> holdFans(const ServingSimulator& simulator) {
    auto holder =
        std::make_unique<RunningProgram>(ctlArguments(simulator, {"fan", "apply", "--acknowledge", "--manual", "0=3000,1=3500"}));
    const std::optional<std::string> first = holder->readLine(kReplyBound);
    EXPECT_EQ(first, kManualVerified);
    const nlohmann::json world = showWorld(worldDir());
    EXPECT_EQ(fanModes(world), (std::vector<int>{1, 1}));
    EXPECT_EQ(world["smc"]["fans"][0]["targetRPM"], 3000.0);
    EXPECT_EQ(world["smc"]["fans"][1]["targetRPM"], 3500.0);
    EXPECT_TRUE(std::filesystem::exists(recordPath()));
    return holder;
  }
  // The reply of `fan inspect --json`.
  nlohmann::json inspect(const ServingSimulator& simulator) {
    const ProgramResult inspected = runProgram(ctlArguments(simulator, {"fan", "inspect", "--json"}));
    EXPECT_EQ(inspected.exitCode, 0) << inspected.standardError;
    return nlohmann::json::parse(inspected.standardOutput, nullptr, false);
  }
  // The helper's current fan message.
  std::string fanMessage(const ServingSimulator& simulator) {
    const nlohmann::json reply = inspect(simulator);
    return reply.is_object() && reply["message"].is_string() ? reply["message"].get<std::string>() : "";
  }
  void faultFanModeWrites(const std::vector<std::string>& times) {
    std::vector<std::string> verb{"smc-fault", "--key", "F0Md", "--command", "write", "--result", "0x86"};
    verb.insert(verb.end(), times.begin(), times.end());
    const ProgramResult fault = runWorldVerb(worldDir(), verb);
    ASSERT_EQ(fault.exitCode, 0) << fault.standardError;
  }

  TempDir dir_;
};

TEST_F(FanOverSocketTest, SleepIsAllowedOnlyAfterTheFansAreBackInSystem) {
  ServingSimulator simulator(worldDir());
  ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
  std::unique_ptr<RunningProgram> holder = holdFans(simulator);
  ASSERT_FALSE(HasFailure());

  // "Can the system sleep?" is answered at once and changes nothing.
  const ProgramResult canSleep = runWorldVerb(worldDir(), {"power", "can-sleep"});
  ASSERT_EQ(canSleep.exitCode, 0) << canSleep.standardError;
  const std::int64_t canID = std::stoll(canSleep.standardOutput);
  const auto answered = awaitWorld(
      worldDir(), [&](const nlohmann::json& w) { return contains(w["power"]["allowed"], canID); }, kReplyBound);
  ASSERT_TRUE(answered);
  EXPECT_EQ(fanModes(*answered), (std::vector<int>{1, 1}));

  // "The system will sleep": every world in which sleep was let go ahead already has
  // both fans automatic.
  const ProgramResult willSleep = runWorldVerb(worldDir(), {"power", "will-sleep"});
  ASSERT_EQ(willSleep.exitCode, 0) << willSleep.standardError;
  const std::int64_t willID = std::stoll(willSleep.standardOutput);
  int allowedWhileHeld = 0;
  const auto slept = awaitWorld(
      worldDir(), [&](const nlohmann::json& w) { return contains(w["power"]["allowed"], willID); }, kReplyBound,
      [&](const nlohmann::json& w) {
        if (contains(w["power"]["allowed"], willID) && !allFans(w, 0)) ++allowedWhileHeld;
      },
      10ms);
  ASSERT_TRUE(slept);
  EXPECT_EQ(allowedWhileHeld, 0);
  EXPECT_EQ(fanModes(*slept), (std::vector<int>{0, 0}));
  EXPECT_EQ((*slept)["power"]["allowed"], nlohmann::json::array({canID, willID}));
  EXPECT_EQ((*slept)["power"]["delivered"].size(), 2u);
  EXPECT_TRUE((*slept)["power"]["pending"].empty());
  EXPECT_FALSE(std::filesystem::exists(recordPath()));
  EXPECT_EQ(fanMessage(simulator), "System control restored before sleep.");

  holder->stop(SIGKILL, kSimulatorStopBound);
  EXPECT_EQ(simulator.stop(), 0);
}

TEST_F(FanOverSocketTest, AClientThatStopsRenewingLosesTheFansWithinThirteenSeconds) {
  ServingSimulator simulator(worldDir());
  ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
  std::unique_ptr<RunningProgram> holder = holdFans(simulator);
  ASSERT_FALSE(HasFailure());
  // The apply was its last renewal; it is killed before the first renewal at 5 s.
  const auto lastRenewal = std::chrono::steady_clock::now();
  EXPECT_EQ(holder->stop(SIGKILL, kSimulatorStopBound), 128 + SIGKILL);

  const auto released = awaitWorld(
      worldDir(), [](const nlohmann::json& w) { return allFans(w, 0); }, kLeaseLapse + kMargin);
  const auto elapsed = std::chrono::steady_clock::now() - lastRenewal;
  ASSERT_TRUE(released) << "fans still held "
                        << std::chrono::duration_cast<std::chrono::seconds>(elapsed).count() << " s later";
  // Not ended early: the connection going away is not what ends a session.
  EXPECT_GE(elapsed, 8s);
  EXPECT_LE(elapsed, kLeaseLapse + kMargin);
  // The record goes just after the readback that the world already shows.
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(recordPath()); }, kMargin));
  EXPECT_EQ(fanMessage(simulator), "Fan session expired or the app stopped responding. System control restored.");
  EXPECT_EQ(simulator.stop(), 0);
}

// A helper that died holding the fans (the controller keeps its registers, the record
// stays) returns them at its next start, before it serves any request. A fan whose
// release is refused stays pending and is retried; the others are back at once, and
// once every fan is verified a new override is allowed.
TEST_F(FanOverSocketTest, FansAHelperDiedHoldingReturnToSystemAtItsNextStartAndAFailedReleaseIsRetried) {
  {
    ServingSimulator simulator(worldDir());
    ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
    std::unique_ptr<RunningProgram> holder = holdFans(simulator);
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(simulator.stop(SIGKILL), 128 + SIGKILL);
    holder->stop(SIGKILL, kSimulatorStopBound);
  }
  EXPECT_EQ(fanModes(showWorld(worldDir())), (std::vector<int>{1, 1}));
  ASSERT_TRUE(std::filesystem::exists(recordPath()));
  faultFanModeWrites({});  // until cleared
  ServingSimulator again(worldDir());
  ASSERT_TRUE(again.ready()) << again.firstLine().value_or("(no line)");
  const nlohmann::json pending = inspect(again);
  EXPECT_EQ(pending["status"]["restorationPending"], true);
  EXPECT_EQ(pending["status"]["supported"], false);
  EXPECT_EQ(fanModes(showWorld(worldDir())), (std::vector<int>{1, 0}));
  EXPECT_TRUE(std::filesystem::exists(recordPath()));
  const ProgramResult refused =
      runProgram(ctlArguments(again, {"fan", "apply", "--acknowledge", "--max", "--renewals", "0"}));
  EXPECT_EQ(refused.exitCode, 4);

  ASSERT_EQ(runWorldVerb(worldDir(), {"clear-smc-faults"}).exitCode, 0);
  EXPECT_TRUE(awaitWorld(worldDir(), [](const nlohmann::json& w) { return allFans(w, 0); }, kMargin));
  EXPECT_TRUE(eventually([&] { return !std::filesystem::exists(recordPath()); }, kMargin));
  EXPECT_EQ(fanMessage(again), "Pending safety restoration returned fans to System.");
  std::unique_ptr<RunningProgram> holder = holdFans(again);
  EXPECT_EQ(holder->stop(SIGINT, kSimulatorStopBound), 0);
  EXPECT_TRUE(allFans(showWorld(worldDir()), 0));
  EXPECT_EQ(again.stop(), 0);
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
  for (int kill = 0; kill <= kKills; ++kill) {
    ServingSimulator simulator(worldDir());
    ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
    const auto restarted = std::chrono::steady_clock::now();
    const auto released = awaitWorld(
        worldDir(), [&](const nlohmann::json& w) { return allFans(w, 0) && !std::filesystem::exists(recordPath()); },
        kRestartBound);
    ASSERT_TRUE(released) << "kill " << kill << ": fans " << ::testing::PrintToString(fanModes(showWorld(worldDir())))
                          << ", record " << std::filesystem::exists(recordPath());
    EXPECT_LE(std::chrono::steady_clock::now() - restarted, kRestartBound);
    ASSERT_EQ(runWorldVerb(worldDir(), {"clear-smc-faults"}).exitCode, 0);
    if (kill == kKills) {
      EXPECT_EQ(inspect(simulator)["status"]["supported"], true);
      EXPECT_EQ(simulator.stop(), 0);
      break;
    }
    RunningProgram holder(ctlArguments(simulator, {"fan", "apply", "--acknowledge", "--manual", "0=3000,1=3500"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    EXPECT_EQ(simulator.stop(SIGKILL), 128 + SIGKILL);
    holder.stop(SIGKILL, kSimulatorStopBound);
    if (kill % 2 == 1) faultFanModeWrites({"--times", "1"});
  }
  // No temporary record outlived a restart.
  const std::filesystem::path directory = std::filesystem::path(recordPath()).parent_path();
  if (std::filesystem::exists(directory)) {
    EXPECT_TRUE(std::filesystem::is_empty(directory));
  }
}

}  // namespace
}  // namespace tidewarden::testing
