// The quarantine tool runner with real children: one stream, exact environment, limits, floods.
#include "quarantine/quarantine_tool_runner.h"

#include <chrono>
#include <csignal>
#include <tuple>

#include <gtest/gtest.h>

#include "support/signing_fixture.h"
#include "support/test_platform.h"

namespace tidewarden::quarantine {
namespace {

using Clock = std::chrono::steady_clock;

class ToolRunnerTest : public ::testing::Test {
 protected:
  QuarantineToolResult run(const std::string& body, std::vector<std::string> arguments = {}, double limit = 10) {
    testing::writeFileBytes(test.rootPath() + "/tool", "#!/bin/sh\n" + body, 0755);
    return runQuarantineTool(test.platform().launcher, {"/tool", std::move(arguments), limit});
  }
  // Everything a result says, to compare at once.
  static auto outcome(const QuarantineToolResult& r) { return std::tuple(r.status, r.output, r.complete, r.timedOut); }
  testing::TestPlatform test;
};

TEST_F(ToolRunnerTest, BothStreamsShareOnePipeAndTheToolSeesOnlyItsArgumentsAndTheFixedEnvironment) {
  EXPECT_EQ(outcome(run("echo out; echo err >&2; echo \"$#:$1|$2\"; echo \"$PATH|$LC_ALL|${HOME-none}\"; exit 3",
                        {"bootout", "a b"})),
            std::tuple(3, "out\nerr\n2:bootout|a b\n/usr/bin:/bin:/usr/sbin:/sbin|C|none\n", true, false));
  // Ended by a signal: not a normal end, whatever it wrote.
  EXPECT_EQ(outcome(run("echo dying; kill -HUP $$")), std::tuple(-SIGHUP, "dying\n", false, false));
  EXPECT_EQ(outcome(run("printf 'a\\377b'")), std::tuple(0, "a\xEF\xBF\xBD" "b", true, false));
}

TEST_F(ToolRunnerTest, ATimeLimitTerminatesThenKillsAndAFloodIsDrainedWhileRunning) {
  auto started = Clock::now();
  EXPECT_EQ(outcome(run("trap '' TERM; echo waiting; while :; do sleep 0.05; done", {}, 0.3)),
            std::tuple(-SIGKILL, "waiting\n", false, true));
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(outcome(run("echo waiting; sleep 30", {}, 0.3)), std::tuple(-SIGTERM, "waiting\n", false, true));

  // Far more than a pipe holds, written before the tool can end.
  EXPECT_EQ(outcome(run("head -c 300000 /dev/zero | tr '\\0' x; exit 0", {}, 20)),
            std::tuple(0, std::string(300000, 'x'), true, false));

  // A tool that ends at once is not waited on for the poll interval or its limit, and a
  // descendant holding the pipe open does not hold the runner.
  started = Clock::now();
  const QuarantineToolResult quick = run("sleep 3 & echo done", {}, 20);
  EXPECT_EQ(std::tuple(quick.status, quick.output), std::tuple(0, "done\n"));
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace tidewarden::quarantine
