// Floods over the real socket of a simulated Mac: another user's connections, each pipelining
// fan calls it never reads the replies of, hold up neither other clients nor the control step.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_program.h"
#include "support/fan_fixture.h"
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

}  // namespace
}  // namespace tidewarden::testing
