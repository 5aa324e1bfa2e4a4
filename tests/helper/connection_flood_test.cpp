// Floods and backlogs over the real socket of a simulated Mac: another user's connections, each
// pipelining fan calls it never reads the replies of, hold up neither other clients nor the
// control step; a user's own slow work on one engine holds up none of its calls to another.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_program.h"
#include "support/fan_fixture.h"
#include "support/platform_waits.h"
#include "support/served_mac_fixture.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
constexpr const char* kNobody = "65534";
constexpr const char* kInspectRequest =
    R"({"action":"inspect","mode":"system","targets":{},"thermalSource":"cpu","thresholdCelsius":0,"acknowledged":false})";
// The connections one user may hold at once.
constexpr int kConnectionsPerUser = 32;
// A fan call queued behind the floods: a few milliseconds on a release build, well under a
// second in the sanitizer build. Without back-pressure it waited minutes.
constexpr auto kCallPromptly = 3s;
// A Rescue Drive status poll, from the application's twice a second.
constexpr auto kStatusPromptly = 1s;
// The guard's restoration and the helper's stop, measured from outside: each includes
// process work that a 2-core machine busy with a parallel build has stretched past 4 s.
constexpr auto kPromptly = 10s;

TEST(ConnectionFloodTest, FloodsOnEveryConnectionOfAUserLeaveOtherClientsAndTheControlStepOnTime) {
  TempDir dir;
  const std::string mac = dir.path() + "/mac";
  ServingSimulator simulator(mac);
  ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(mac.c_str(), 0755), 0);
  RunningProgram holder({kCtl, "--socket", simulator.socketPath(), "fan", "apply", "--acknowledge", "--manual", "0=3000,1=3500"});
  ASSERT_EQ(holder.readLine(60s), kManualVerified);

  // Admitted before the floods begin; it makes its one call when signalled and times it itself.
  RunningProgram caller({TIDEWARDEN_TEST_PEER_PATH, "timedcall", simulator.socketPath(), "fanControl:withReply:",
                         kInspectRequest});
  ASSERT_EQ(caller.readLine(30s), "admitted");

  std::vector<std::unique_ptr<RunningProgram>> floods;
  for (int connection = 0; connection < kConnectionsPerUser; ++connection) {
    floods.push_back(std::make_unique<RunningProgram>(std::vector<std::string>{
        TIDEWARDEN_TEST_PEER_PATH, "fanflood", simulator.socketPath(), "50000", kNobody}));
  }
  for (auto& flood : floods) ASSERT_EQ(flood->readLine(30s), "admitted");

  // Another client's fan request waits for at most the few calls the flooding user has in flight.
  ASSERT_EQ(::kill(caller.pid(), SIGUSR1), 0);
  const std::optional<std::string> answered = caller.readLine(60s);
  ASSERT_TRUE(answered && answered->starts_with("reply-ms ")) << answered.value_or("(no line)");
  EXPECT_LT(std::chrono::milliseconds(std::stoll(answered->substr(9))), kCallPromptly);

  // The guard trips on the next one-second step and restores System within its bounded checks.
  ASSERT_EQ(runWorldVerb(mac, {"set-temperature", "--cpu", "96"}).exitCode, 0);
  const auto tripped = Clock::now();
  EXPECT_TRUE(awaitWorld(mac, [](const nlohmann::json& w) { return allFans(w, 0); }, 20s));
  EXPECT_LT(Clock::now() - tripped, kPromptly);

  const auto stopping = Clock::now();
  EXPECT_EQ(simulator.stop(), 0);
  EXPECT_LT(Clock::now() - stopping, kPromptly);
}

// Six download removals (one at the tool gate, the rest queued behind it on the downloads
// queue) and a local installer scan held at the gate, from the user that holds a fan session:
// a materialization beside them is answered by the preparation gate at once, and the
// session's renewals and Rescue Drive status, each called while all that is in progress,
// answer at once. So the lease never lapses, and status never waits for the scan.
class CallLaneTest : public ServedMacTest {};

TEST_F(CallLaneTest, SlowWorkOnOtherEnginesLeavesFanRenewalsAndRescueStatusOnTime) {
  change({"set-clock", "--ahead", "3600"});
  for (int i = 0; i < 6; ++i) change({"download", "add", "--folder", "d" + std::to_string(i), "--size", "4096"});
  const std::string package =
      world({"installer", "package", "--folder", "pkg", "--version", "15.1", "--build", "24B83"}).standardOutput;
  change({"installer", "app"});
  const nlohmann::json scan =
      nlohmann::json::parse(ctl({"downloads", "scan", "--json"}).standardOutput, nullptr, false);
  std::vector<std::string> removals;
  for (const nlohmann::json& item : scan.value("items", nlohmann::json::array())) {
    const std::string path = item.value("path", "");
    if (path.starts_with("/Users/Shared/Tidewarden/Downloads/d")) removals.push_back(item.value("id", ""));
  }
  ASSERT_EQ(removals.size(), 6u) << scan.dump();

  RunningProgram holder({kCtl, "--socket", socket(), "fan", "apply", "--acknowledge", "--max"});
  std::string session;
  for (std::optional<std::string> line; session.empty() && (line = holder.readLine(60s));) {
    if (line->starts_with("  session ")) session = line->substr(10);
  }
  ASSERT_FALSE(session.empty());
  const std::string renew = R"({"action":"renew","mode":"maximum","targets":{},"thermalSource":"cpu",)"
                            R"("thresholdCelsius":75,"acknowledged":false,"sessionID":")" + session + R"("})";
  struct Timed {
    const char* selector;
    std::string argument;
    std::string expected;
    std::chrono::milliseconds bound;
  };
  const std::vector<Timed> calls = {{"fanControl:withReply:", renew, R"("accepted":true)", kCallPromptly},
                                    {"rescueDriveStatus:withReply:", R"({"operationID":"NONE"})",
                                     "Rescue Drive operation was not found.", kStatusPromptly},
                                    {"fanControl:withReply:", renew, R"("accepted":true)", kCallPromptly}};
  std::vector<std::unique_ptr<RunningProgram>> callers;
  for (const Timed& call : calls) {
    callers.push_back(std::make_unique<RunningProgram>(
        std::vector<std::string>{TIDEWARDEN_TEST_PEER_PATH, "timedcall", socket(), call.selector, call.argument}));
    ASSERT_EQ(callers.back()->readLine(30s), "admitted");
  }

  change({"tool-gate", "close"});
  std::vector<std::unique_ptr<RunningProgram>> slow;
  for (const std::string& id : removals) {
    slow.push_back(std::make_unique<RunningProgram>(std::vector<std::string>{
        kCtl, "--socket", socket(), "downloads", "remove", id, "--no-installation-in-progress"}));
  }
  slow.push_back(std::make_unique<RunningProgram>(
      std::vector<std::string>{kCtl, "--socket", socket(), "installers", "scan"}));
  const auto held = [&] { return std::ranges::count(world({"tool-gate", "waiting"}).standardOutput, '\n'); };
  ASSERT_TRUE(eventually([&] { return held() >= 2; }, 60s));  // a removal and the scan
  EXPECT_EQ(nlohmann::json::parse(ctl({"materialize", package.substr(0, package.find('\n')), "--version", "15.1",
                                       "--build", "24B83", "--json"}).standardOutput, nullptr, false)
                .value("message", ""),
            "An installer preparation, safety check or preparation cleanup is still running. No second operation was "
            "started.");

  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(calls[i].selector);
    ASSERT_EQ(::kill(callers[i]->pid(), SIGUSR1), 0);
    const std::optional<std::string> answered = callers[i]->readLine(60s);
    ASSERT_TRUE(answered && answered->starts_with("reply-ms ")) << answered.value_or("(no line)");
    EXPECT_LT(std::chrono::milliseconds(std::stoll(answered->substr(9))), calls[i].bound);
    EXPECT_NE(answered->find(calls[i].expected), std::string::npos) << *answered;
  }
  // All of it was answered while every slow call was still in progress, and the holder's
  // own renewals were never refused.
  for (auto& program : slow) EXPECT_FALSE(program->waitForExit(0ms));
  EXPECT_FALSE(holder.waitForExit(0ms));
  change({"tool-gate", "open"});
  EXPECT_TRUE(kill());  // rather than wait out six 20-second removals
}

}  // namespace
}  // namespace tidewarden::testing
