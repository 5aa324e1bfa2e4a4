// The scoped command runner with real children: shell scripts written into the test platform's root.
#include "storage/scoped_command_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process_launcher.h"
#include "support/held_child.h"
#include "support/platform_waits.h"
#include "support/preparation_root.h"
#include "support/test_platform.h"

namespace tidewarden::storage {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kLimit = kScopedCaptureLimitBytes;

class ScopedCommandRunnerTest : public ::testing::Test {
 protected:
  void script(const std::string& logical, const std::string& body) {
    testing::writeToolScript(test_.rootPath(), logical, body);
  }

  // Runs the command and notes how long the runner took.
  ScopedCommandResult run(const std::string& executable, std::vector<std::string> arguments = {},
                          std::optional<double> limit = 30.0, std::optional<FreeSpaceWatch> watch = std::nullopt) {
    const auto start = SteadyClock::now();
    ScopedCommandResult result =
        runScopedCommand(test_.platform(), {executable, std::move(arguments), limit}, watch);
    seconds_ = std::chrono::duration<double>(SteadyClock::now() - start).count();
    return result;
  }

  // Everything a result says, to compare at once.
  static auto outcome(const ScopedCommandResult& r) {
    return std::tuple(r.status, r.standardOutput, r.standardError, r.complete);
  }

  testing::TestPlatform test_;
  double seconds_ = 0;
};

TEST_F(ScopedCommandRunnerTest, ChildSeesItsArgumentsOnlyToolEnvironmentAndNullInput) {
  // /proc/$$/environ is exactly what the shell was started with (it adds PWD later).
  script("/usr/bin/tool",
         "printf '%s\\n' \"$@\"; tr '\\0' '\\n' < /proc/$$/environ; readlink /proc/$$/fd/0; "
         "printf 'warn\\377ing\\342\\202' >&2; printf 'raw\\377'");
  // HOME, USER and everything else of the test's own environment are absent. Standard
  // error is text: a stray byte and a cut-off sequence each show as one U+FFFD; standard
  // output stays bytes.
  EXPECT_EQ(outcome(run("/usr/bin/tool", {"a b", "", "$HOME"})),
            std::tuple(0, "a b\n\n$HOME\nPATH=/usr/bin:/bin:/usr/sbin:/sbin\nLC_ALL=C\n/dev/null\nraw\xff",
                       "warn\xEF\xBF\xBDing\xEF\xBF\xBD", true));
}

TEST_F(ScopedCommandRunnerTest, AnExitIsCompleteAndADeathBySignalOrAFailedStartIsNeitherCompleteNorAnExitStatus) {
  script("/bin/fails", "echo partial; exit 3");
  const ScopedCommandResult result = run("/bin/fails", {}, /*limit=*/std::nullopt);
  // A failing tool's output is still complete.
  EXPECT_EQ(std::tuple(result.status, result.standardOutput, result.complete), std::tuple(3, "partial\n", true));
  // Well under the poll interval in practice; the bound here only catches a hang.
  EXPECT_LT(seconds_, 5.0);

  // Killed by someone else with nothing printed: not "exit 1, nothing found".
  for (const int sig : {SIGHUP, SIGKILL}) {
    script("/bin/dies", "kill -" + std::to_string(sig) + " $$");
    EXPECT_EQ(outcome(run("/bin/dies")), std::tuple(kScopedStatusSignalBase + sig, "", "", false));
  }

  // A program that cannot be started: no status of its own, and the launch error as its text.
  EXPECT_EQ(outcome(run("/usr/sbin/absent")),
            std::tuple(-1, "", "Cannot start /usr/sbin/absent: No such file or directory", false));
}

TEST_F(ScopedCommandRunnerTest, FloodIsCappedPerStreamWhileTheChildRunsToItsEnd) {
  // 3 MiB on each stream, then a line that only arrives if the child was never blocked.
  script("/bin/flood",
         "head -c 3145728 /dev/zero | tr '\\0' o; head -c 3145728 /dev/zero | tr '\\0' e >&2; echo done >&2; exit 4");
  ScopedCommandResult result = run("/bin/flood");
  EXPECT_EQ(result.status, 4);  // it exited by itself, not killed
  EXPECT_FALSE(result.complete);
  EXPECT_LE(result.standardOutput.size(), kLimit);
  EXPECT_GT(result.standardOutput.size(), kLimit - platform::ChildProcess::kCaptureChunkBytes);
  EXPECT_EQ(result.standardOutput.find_first_not_of('o'), std::string::npos);  // an unbroken prefix
  EXPECT_LE(result.standardError.size(), kLimit);
  EXPECT_EQ(result.standardError.find_first_not_of('e'), std::string::npos);  // and no note: not stopped

  // Exactly the limit is still whole.
  script("/bin/full", "head -c 2097152 /dev/zero | tr '\\0' o; head -c 2097152 /dev/zero | tr '\\0' e >&2");
  result = run("/bin/full");
  EXPECT_EQ(outcome(result), std::tuple(0, std::string(kLimit, 'o'), std::string(kLimit, 'e'), true));
}

TEST_F(ScopedCommandRunnerTest, TimeLimitSendsTerminateThenKillsAfterTheGrace) {
  // SIG_IGN survives exec, so this sleep ignores SIGTERM.
  script("/bin/stubborn", "trap '' TERM; echo started; exec sleep 60");
  ScopedCommandResult result = run("/bin/stubborn", {}, /*limit=*/0.3);
  EXPECT_EQ(outcome(result),
            std::tuple(kScopedStatusSignalBase + SIGKILL, "started\n", " The command exceeded its time limit.", false));
  EXPECT_GE(seconds_, 0.3 + kScopedTerminationGraceSeconds - 0.05);
  EXPECT_LT(seconds_, 10.0);

  // A child that honours SIGTERM ends with it, and the note is the same.
  script("/bin/polite", "echo oops >&2; exec sleep 60");
  result = run("/bin/polite", {}, /*limit=*/0.3);
  EXPECT_EQ(outcome(result),
            std::tuple(kScopedStatusSignalBase + SIGTERM, "", "oops\n The command exceeded its time limit.", false));
  EXPECT_LT(seconds_, 10.0);
}

TEST_F(ScopedCommandRunnerTest, FreeSpaceAtTheReserveStopsAWatchedChildWhileItRuns) {
  script("/usr/sbin/expand", "exec sleep 60");
  script("/usr/sbin/quick", "echo done");
  const FreeSpaceWatch watch{kPreparationReserveBytes};
  // The data volume cannot be measured, "/" can: plenty twice, then the reserve.
  test_.freeSpace.script = {std::nullopt, watch.reserveBytes + 1, std::nullopt, watch.reserveBytes + 1,
                            std::nullopt, watch.reserveBytes};
  ScopedCommandResult result = run("/usr/sbin/expand", {}, 30.0, watch);
  EXPECT_EQ(outcome(result), std::tuple(kScopedStatusSignalBase + SIGTERM, "",
                                        " Available storage fell below the preparation reserve; the command was "
                                        "stopped.",
                                        false));
  EXPECT_LT(seconds_, 5.0);
  EXPECT_EQ(test_.freeSpace.paths, (std::vector<std::string>{"/System/Volumes/Data", "/", "/System/Volumes/Data", "/",
                                                             "/System/Volumes/Data", "/"}));
  // A volume that cannot be measured at all counts as no space.
  test_.freeSpace.script.clear();
  test_.freeSpace.bytes = std::nullopt;
  EXPECT_EQ(run("/usr/sbin/expand", {}, 30.0, watch).status, kScopedStatusSignalBase + SIGTERM);

  // One byte above the reserve lets the command finish; without a watch nothing is measured.
  test_.freeSpace.bytes = kPreparationReserveBytes + 1;
  EXPECT_EQ(outcome(run("/usr/sbin/quick", {}, 30.0, watch)), std::tuple(0, "done\n", "", true));
  test_.freeSpace.bytes = 0;
  test_.freeSpace.paths.clear();
  EXPECT_TRUE(run("/usr/sbin/quick").complete);
  EXPECT_TRUE(test_.freeSpace.paths.empty());
}

TEST_F(ScopedCommandRunnerTest, GrandchildHoldingTheOutputsDoesNotHangTheRunner) {
  // The background sleep keeps both pipes open after its parent exits.
  script("/bin/leaves", "sleep 60 & echo $!; exit 0");
  const ScopedCommandResult result = run("/bin/leaves", {}, /*limit=*/5.0);
  // It exited, but its outputs never reached their end.
  EXPECT_EQ(std::tuple(result.status, result.standardError, result.complete), std::tuple(0, "", false));
  EXPECT_GE(seconds_, kScopedReaderWaitSeconds - 0.05);
  EXPECT_LT(seconds_, 5.0 + kScopedTerminationGraceSeconds + kScopedReaderWaitSeconds + 5.0);

  // The grandchild was killed with the child's process group (gone, or a zombie
  // waiting for init to reap it).
  const std::string pid = result.standardOutput.substr(0, result.standardOutput.find('\n'));
  ASSERT_FALSE(pid.empty());
  std::string state;
  const auto ended = [&] {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    state = close == std::string::npos ? "" : line.substr(close + 2, 1);
    return state.empty() || state == "Z";
  };
  EXPECT_TRUE(testing::eventually(ended)) << "grandchild " << pid << " is still in state " << state;
}

TEST_F(ScopedCommandRunnerTest, AChildThatDoesNotEndAfterSigkillIsLeftToABackgroundWaiter) {
  testing::HeldChildLauncher launcher;
  const platform::Platform& base = test_.platform();
  const platform::Platform held{base.root,  base.clock, base.processFacts, base.codeSigning, launcher,
                                base.smc,   base.power, base.freeSpace,    base.signals, base.diskArbitration,
                                base.fileFlags};
  auto running = std::async(std::launch::async, [&] {
    return runScopedCommand(held, {"/usr/bin/stuck", {}, /*timeLimitSeconds=*/0.2});
  });
  // Limit, grace and the wait after SIGKILL take about 4.2 s; the guard is generous.
  const bool returned = running.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "the runner still waits for a child that SIGKILL did not end";
  // The kernel lets the child go: it ends now and is reaped in the background.
  launcher.held = false;
  ASSERT_EQ(::kill(launcher.pid, SIGKILL), 0);
  const ScopedCommandResult result = running.get();
  if (!returned) return;
  EXPECT_EQ(result.status, kScopedStatusNotEnded);
  EXPECT_FALSE(result.complete);
  EXPECT_EQ(result.standardError,
            " The command exceeded its time limit. The command did not end after it was killed.");
  const auto reaped = [&] {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(launcher.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
  };
  EXPECT_TRUE(testing::eventually(reaped, std::chrono::seconds(30))) << "nobody reaped the child after it ended";
}

}  // namespace
}  // namespace tidewarden::storage
