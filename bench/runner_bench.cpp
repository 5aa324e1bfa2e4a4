// One scoped-command run of /usr/bin/true beside a bare posix_spawn + waitpid of the same program.
//
// The runner does more than a bare spawn on purpose: it resolves the executable
// beneath the root without following links, opens two pipes and the null device,
// a pidfd, and drains both outputs while it waits. The ratio runner/bare is what that
// costs per tool run. "/usr/bin/true" rather than "/bin/true": on a merged-/usr system
// "/bin" is a symbolic link, which the launcher refuses to follow.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/development_anchor.h"
#include "platform/free_space.h"
#include "platform/linux/linux_process_facts.h"
#include "platform/linux/linux_smc_client.h"
#include "platform/platform.h"
#include "platform/process_launcher.h"
#include "platform/process_signals.h"
#include "platform/system_power.h"
#include "storage/scoped_command_runner.h"

extern char** environ;

namespace {

namespace platform = tidewarden::platform;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* kProgram = "/usr/bin/true";
constexpr double kMinSecondsPerBenchmark = 1.0;

// The production bundle on the machine's own "/", as the helper builds it.
struct Bundle {
  platform::UniqueFd root{::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  std::unique_ptr<platform::Clock> clock = platform::makeSystemClock();
  std::unique_ptr<platform::ProcessFacts> facts = platform::makeLinuxProcessFacts();
  platform::CodeSigning codeSigning{{platform::developmentTrustAnchors(), &root}};
  std::unique_ptr<platform::ProcessLauncher> launcher = platform::makeProcessLauncher(root);
  std::unique_ptr<platform::SmcClient> smc = platform::makeLinuxSmcClient();
  std::unique_ptr<platform::SystemPower> power = platform::makeUnavailableSystemPower();
  std::unique_ptr<platform::FreeSpace> freeSpace = platform::makeVolumeFreeSpace(root);
  std::unique_ptr<platform::ProcessSignals> signals = platform::makeProcessSignals();
  platform::Platform services{root, *clock, *facts, codeSigning, *launcher, *smc, *power, *freeSpace, *signals};
};

Bundle* bundle = nullptr;
std::vector<double> runnerSamples;
std::vector<double> bareSamples;

void BM_ScopedCommand(benchmark::State& state) {
  const platform::ToolCommand command{kProgram, {}, 5.0};
  for (auto _ : state) {
    const auto start = SteadyClock::now();
    const tidewarden::storage::ScopedCommandResult result =
        tidewarden::storage::runScopedCommand(bundle->services, command);
    runnerSamples.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
    if (!result.complete || result.status != 0) {
      state.SkipWithError(result.standardError.c_str());
      break;
    }
  }
}

void BM_BareSpawn(benchmark::State& state) {
  char* argv[] = {const_cast<char*>(kProgram), nullptr};
  for (auto _ : state) {
    const auto start = SteadyClock::now();
    pid_t pid = -1;
    int status = 0;
    const bool ok = ::posix_spawn(&pid, kProgram, nullptr, nullptr, argv, environ) == 0 &&
                    ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    bareSamples.push_back(std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count());
    if (!ok) {
      state.SkipWithError("posix_spawn of /usr/bin/true failed");
      break;
    }
  }
}

BENCHMARK(BM_ScopedCommand)->UseRealTime()->MinTime(kMinSecondsPerBenchmark);
BENCHMARK(BM_BareSpawn)->UseRealTime()->MinTime(kMinSecondsPerBenchmark);

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Bundle production;
  bundle = &production;
  benchmark::RunSpecifiedBenchmarks();
  const double runner = median(runnerSamples);
  const double bare = median(bareSamples);
  std::printf("\n%s per run, microseconds (median of all samples)\n", kProgram);
  std::printf("%14s %14s %8s\n", "runner", "bare spawn", "ratio");
  std::printf("%14.1f %14.1f %8.2f\n", runner, bare, bare > 0 ? runner / bare : 0.0);
  return 0;
}
