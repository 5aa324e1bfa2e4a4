// The quarantine tool runner with real children: one stream, exact environment, limits, floods.
#include "quarantine/quarantine_tool_runner.h"

#include <chrono>
#include <csignal>

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
  testing::TestPlatform test;
};

TEST_F(ToolRunnerTest, BothStreamsShareOnePipeAndTheToolSeesOnlyItsArgumentsAndTheFixedEnvironment) {
  const auto result = run("echo out; echo err >&2; echo \"$#:$1|$2\"; echo \"$PATH|$LC_ALL|${HOME-none}\"; exit 3",
                          {"bootout", "a b"});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.output, "out\nerr\n2:bootout|a b\n/usr/bin:/bin:/usr/sbin:/sbin|C|none\n");
  EXPECT_TRUE(result.complete);

  // Ended by a signal: not a normal end, whatever it wrote.
  const auto killed = run("echo dying; kill -HUP $$");
  EXPECT_EQ(killed.status, -SIGHUP);
  EXPECT_EQ(killed.output, "dying\n");
  EXPECT_FALSE(killed.complete);

  const auto clean = run("printf 'a\\377b'");
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(clean.output, "a\xEF\xBF\xBD" "b");

  const auto missing = runQuarantineTool(test.platform().launcher, {"/bin/absent", {}, 1.0});
  EXPECT_EQ(missing.status, std::nullopt);
  EXPECT_FALSE(missing.complete);
  EXPECT_EQ(missing.output, "Cannot start /bin/absent: No such file or directory");
}

TEST_F(ToolRunnerTest, ATimeLimitTerminatesThenKillsAndAFloodIsDrainedWhileRunning) {
  auto started = Clock::now();
  const auto stubborn = run("trap '' TERM; echo waiting; while :; do sleep 0.05; done", {}, 0.3);
  EXPECT_EQ(stubborn.status, -9);
  EXPECT_EQ(stubborn.output, "waiting\n");
  EXPECT_TRUE(stubborn.timedOut && !stubborn.complete);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));

  const auto polite = run("echo waiting; sleep 30", {}, 0.3);
  EXPECT_EQ(polite.status, -15);
  EXPECT_TRUE(polite.timedOut && !polite.complete);
  EXPECT_EQ(polite.output, "waiting\n");

  // Far more than a pipe holds, written before the tool can end.
  const auto flood = run("head -c 300000 /dev/zero | tr '\\0' x; exit 0", {}, 20);
  EXPECT_EQ(flood.status, 0);
  EXPECT_EQ(flood.output, std::string(300000, 'x'));
  EXPECT_TRUE(flood.complete);

  // A tool that ends at once is not waited on for the poll interval or its limit, and a
  // descendant holding the pipe open does not hold the runner.
  started = Clock::now();
  const auto quick = run("sleep 3 & echo done", {}, 20);
  EXPECT_EQ(quick.status, 0);
  EXPECT_EQ(quick.output, "done\n");
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace tidewarden::quarantine
