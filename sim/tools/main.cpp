// tidewarden-sim-tool: the simulated Mac's lsof, ps, hdiutil, diskutil, pkgutil and launchctl in one program.
//
// The simulator installs this program as DIR/root/usr/sbin/lsof, DIR/root/bin/ps and so
// on. It takes its role from the name it was started under and finds its world (DIR)
// from where its own executable lies, since a tool's environment holds only PATH and
// LC_ALL. It answers from DIR/world.json and applies the world's fault for its tool.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "sim/simulated_disk_formats.h"
#include "sim/simulated_diskutil.h"
#include "sim/simulated_image_disks.h"
#include "sim/simulated_installer_tools.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_media_tool.h"
#include "sim/simulated_tools.h"
#include "sim/tool_gate.h"
#include "sim/world.h"

namespace {

namespace sim = tidewarden::sim;

constexpr int kExitFailure = 1;
// How long a held query waits for its gate.
constexpr std::chrono::seconds kQueryHoldBound{120};

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

void print(int fd, const std::string& text) { tidewarden::platform::writeAll(fd, text); }

[[noreturn]] void fail(const std::string& message) {
  print(STDERR_FILENO, std::string(sim::kSimulatedToolProgramName) + ": " + message + "\n");
  std::_Exit(kExitFailure);
}

std::string ownExecutable() {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) fail("cannot read /proc/self/exe");
  return std::string(self, static_cast<std::size_t>(length));
}

// DIR of DIR/root/<the tool's macOS path>, or a failure naming what was expected.
std::string worldDirectory(const std::string& executable, sim::WorldTool tool) {
  const std::string suffix = "/" + std::string(sim::SimulatedMac::kRootFolder) + std::string(sim::worldToolPath(tool));
  if (executable.size() <= suffix.size() || executable.compare(executable.size() - suffix.size(), suffix.size(), suffix) != 0) {
    fail(executable + " is not a tool of a simulated Mac (expected DIR" + suffix + ")");
  }
  return executable.substr(0, executable.size() - suffix.size());
}

[[noreturn]] void hang() {
  for (;;) ::pause();
}

// The installer bundle whose createinstallmedia script started this program: the
// launcher hands the script over as descriptor 3, which stays open through its exec.
std::string mediaToolBundle() {
  char script[4096];
  const ssize_t length = ::readlink("/proc/self/fd/3", script, sizeof script - 1);
  if (length <= 0) fail("createinstallmedia: cannot find its installer bundle");
  const std::string path(script, static_cast<std::size_t>(length));
  const std::string suffix = "/Contents/Resources/createinstallmedia";
  if (!path.ends_with(suffix)) fail("createinstallmedia: started from " + path + ", not from an installer bundle");
  return path.substr(0, path.size() - suffix.size());
}

volatile sig_atomic_t worker = 0;

// Apple's media tool does its work in processes of its own, in its process group: a
// SIGTERM to the tool ends them with it (it passes the signal on), a SIGKILL does not,
// and a tool that dies leaves them running. This runs `work` so, in one worker.
int besideWorker(const std::function<int()>& work) {
  const pid_t child = ::fork();
  if (child < 0) fail("cannot start its worker");
  if (child == 0) std::_Exit(work());
  worker = child;
  std::signal(SIGTERM, [](int) { ::kill(worker, SIGTERM); });
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) fail("lost its worker");
  }
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    ::raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kExitFailure;
}

int run(int argc, char** argv) {
  const std::string executable = ownExecutable();
  // An installer's createinstallmedia is a script that runs this program (as diskutil)
  // under the name createinstallmedia; diskutil's faults are not its own.
  if (argc > 0 && lastComponent(argv[0]) == "createinstallmedia") {
    const std::string directory = worldDirectory(executable, sim::WorldTool::diskutil);
    const std::string bundle = mediaToolBundle();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return besideWorker([&] { return sim::runSimulatedMediaTool(directory, bundle, arguments); });
  }
  // The launcher passes the logical path as argv[0]; the file's own name decides when
  // it does not name a tool.
  std::optional<sim::WorldTool> tool = argc > 0 ? sim::simulatedToolNamed(lastComponent(argv[0])) : std::nullopt;
  if (!tool) tool = sim::simulatedToolNamed(lastComponent(executable));
  if (!tool) fail("started as " + lastComponent(executable) + ", which is no simulated tool");
  const std::string directory = worldDirectory(executable, *tool);
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string invocation(sim::worldToolPath(*tool));
  for (const std::string& argument : arguments) invocation += " " + argument;
  sim::awaitToolGate(directory, invocation);

  // Every hdiutil detach is recorded before any fault applies, so tests can read exactly
  // what the helper asked for.
  if (*tool == sim::WorldTool::hdiutil && !arguments.empty() && arguments[0] == "detach") {
    sim::World::update(directory, [&](sim::WorldRecord& world) {
      auto& record = world.installers.detachInvocations;
      if (!record) record.emplace();
      record->push_back(arguments);
    });
  }
  sim::WorldTools tools = sim::World::read(directory).tools;
  const sim::WorldToolFault* fault = tools.faultOf(*tool);
  const bool applies = fault && (!fault->only || (!arguments.empty() && arguments[0] == *fault->only));
  const std::optional<sim::WorldToolFault> active = applies ? std::optional(*fault) : std::nullopt;
  if (active && active->kind == sim::WorldToolFaultKind::hang) hang();
  if (active && active->kind == sim::WorldToolFaultKind::signal) {
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    const int number = static_cast<int>(*active->status);
    std::signal(number, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, number);
    ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(number);
    fail("signal " + std::to_string(number) + " did not end the tool");
  }
  if (active && active->kind == sim::WorldToolFaultKind::malformed) {
    print(STDOUT_FILENO, active->text ? *active->text : std::string(sim::malformedToolOutput(*tool)));
    return 0;
  }

  sim::SimulatedToolAnswer answer;
  if (active && active->kind == sim::WorldToolFaultKind::exit && active->status != 0 && *tool == sim::WorldTool::hdiutil &&
      !arguments.empty() && arguments[0] == "detach") {
    // A detach that fails changes nothing: the image stays attached.
    print(STDERR_FILENO, "hdiutil: couldn't unmount \"" + lastComponent(arguments.back()) + "\" - Resource busy\n");
    return static_cast<int>(*active->status);
  }
  if (auto installerAnswer = sim::answerInstallerTool(directory, *tool, arguments)) {
    answer = std::move(*installerAnswer);
  } else if (*tool == sim::WorldTool::launchctl) {
    // Its record is kept under the world lock.
    sim::World::update(directory, [&](sim::WorldRecord& world) {
      answer = sim::answerSimulatedTool(*tool, arguments, world.tools);
    });
  } else if (*tool == sim::WorldTool::diskutil) {
    // A diskutil that fails with an exit status changes nothing.
    const bool mayChange = !active || active->kind != sim::WorldToolFaultKind::exit;
    std::optional<sim::SimulatedToolAnswer> special = sim::answerImageDiskInfo(arguments, tools);
    if (!special && mayChange) special = sim::answerDiskutilChange(directory, arguments);
    if (special) {
      // A device of an attached image, or an erase or mount.
      answer = std::move(*special);
    } else {
      // Records the query and applies the disk changes due with it, under the world lock.
      bool held = false;
      sim::World::update(directory, [&](sim::WorldRecord& world) {
        const std::int64_t before = world.disks.heldQueries;
        answer = sim::answerSimulatedDiskutil(arguments, world.disks);
        held = world.disks.heldQueries != before;
      });
      // A held query answers once the test opens its gate.
      if (held) sim::awaitUntil([&] { return std::filesystem::exists(directory + "/" + sim::kQueryGateFile); }, kQueryHoldBound);
    }
  } else {
    answer = sim::answerSimulatedTool(*tool, arguments, tools);
  }
  print(STDOUT_FILENO, answer.standardOutput);
  print(STDERR_FILENO, answer.standardError);
  if (active && active->kind == sim::WorldToolFaultKind::flood) {
    const std::string lines(64 * 1024, '\n');
    for (std::size_t written = 0; written < sim::kSimulatedToolFloodBytes; written += lines.size()) {
      if (!tidewarden::platform::writeAll(STDOUT_FILENO, lines)) break;
    }
  }
  if (active && active->kind == sim::WorldToolFaultKind::exit) return static_cast<int>(*active->status);
  return answer.status;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that went away ends the tool quietly, as a real tool's default would.
  std::signal(SIGPIPE, SIG_DFL);
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    fail(error.what());
  }
}
