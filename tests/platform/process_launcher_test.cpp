// The process launcher with real children: shell scripts written into a temporary root.
#include "platform/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using tidewarden::testing::TempDir;

const std::vector<std::string> kToolEnvironment = {"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "LC_ALL=C"};

class ProcessLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = UniqueFd(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(root_.valid());
    launcher_ = makeProcessLauncher(root_);
  }

  std::string real(const std::string& logical) { return dir_.path() + logical; }

  // Writes `contents` at `logical` beneath the root, creating the folders on the way.
  void writeFile(const std::string& logical, const std::string& contents, mode_t mode) {
    std::filesystem::create_directories(std::filesystem::path(real(logical)).parent_path());
    std::ofstream(real(logical), std::ios::binary | std::ios::trunc) << contents;
    ASSERT_EQ(::chmod(real(logical).c_str(), mode), 0);
  }
  void script(const std::string& logical, const std::string& body, mode_t mode = 0755) {
    writeFile(logical, "#!/bin/sh\n" + body + "\n", mode);
  }

  std::unique_ptr<ChildProcess> launch(const std::string& executable, std::vector<std::string> arguments = {},
                                       std::optional<std::string> input = std::nullopt) {
    return launcher_->launch({executable, std::move(arguments), kToolEnvironment, std::move(input)});
  }

  std::string launchError(const std::string& executable, std::vector<std::string> arguments = {},
                          std::vector<std::string> environment = kToolEnvironment) {
    try {
      launcher_->launch({executable, std::move(arguments), std::move(environment), {}});
    } catch (const LaunchError& error) {
      return error.what();
    }
    return "launched";
  }

  struct Finished {
    int status;
    std::string output, error;
  };
  // Reads both streams to end of file (small outputs only), then reaps.
  Finished finish(ChildProcess& child) {
    Finished result{};
    EXPECT_TRUE(readAll(child.standardOutput(), result.output, 4 << 20));
    EXPECT_TRUE(readAll(child.standardError(), result.error, 1 << 20));
    result.status = child.wait();
    return result;
  }

  // Reads one line from the child's standard output (the child's "ready" signal).
  std::string readLine(ChildProcess& child) {
    std::string line;
    char c;
    while (::read(child.standardOutput(), &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }

  TempDir dir_;
  UniqueFd root_;
  std::unique_ptr<ProcessLauncher> launcher_;
};

// Arguments, exit statuses, both outputs, the exact environment and the null input a tool
// sees, and the group kill that reaches a grandchild are checked through the scoped command runner.
// Input larger than any pipe buffer reaches a child that reads all of it, and the launch does
// not block for one that reads none.
TEST_F(ProcessLauncherTest, StandardInputIsDeliveredThenEndOfFile) {
  script("/bin/echoin", "cat");
  script("/bin/ignore", "exit 0");
  const std::string big = "hello\n" + std::string(3 << 20, 'z');
  EXPECT_EQ(finish(*launch("/bin/echoin", {}, big)).output, big);
  EXPECT_EQ(WEXITSTATUS(finish(*launch("/bin/ignore", {}, big)).status), 0);
}

TEST_F(ProcessLauncherTest, NoDescriptorIsInheritedButTheExecutable) {
  // Descriptors opened without close-on-exec, as a careless library might: one at the
  // lowest free number, one far above.
  UniqueFd leaky(::open((dir_.path() + "/secret").c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_TRUE(leaky.valid());
  UniqueFd high(::fcntl(leaky.get(), F_DUPFD, 200));
  ASSERT_GE(high.get(), 200);
  // find(1) lists the shell's descriptors from outside, so the listing itself adds none.
  script("/bin/listfds", "find /proc/$$/fd -mindepth 1 -printf '%f %l\\n'");
  Finished done = finish(*launch("/bin/listfds"));

  std::set<int> numbers;
  std::stringstream output(done.output);
  for (std::string line; std::getline(output, line);) {
    int fd = std::stoi(line.substr(0, line.find(' ')));
    std::string target = line.substr(line.find(' ') + 1);
    numbers.insert(fd);
    if (fd == 0) {
      EXPECT_EQ(target, "/dev/null");
    } else if (fd <= 2) {
      EXPECT_EQ(target.rfind("pipe:", 0), 0u) << line;
    } else {
      // Anything else is the script itself: descriptor 3 and the shell's own copy.
      EXPECT_EQ(target, real("/bin/listfds")) << line;
    }
  }
  EXPECT_TRUE(numbers.count(0) && numbers.count(1) && numbers.count(2) && numbers.count(3)) << done.output;
  EXPECT_EQ(done.output.find("secret"), std::string::npos) << done.output;
}

TEST_F(ProcessLauncherTest, SignalsReachTheChildWithDefaultDispositions) {
  // What the parent ignores or blocks, the child must not inherit.
  struct sigaction ignore {}, previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGUSR1, &ignore, &previous), 0);
  sigset_t blockTerm, oldMask;
  sigemptyset(&blockTerm);
  sigaddset(&blockTerm, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blockTerm, &oldMask), 0);

  script("/bin/selfkill", "kill -USR1 $$; exit 0");
  int status = finish(*launch("/bin/selfkill")).status;
  script("/bin/waiter", "echo ready; while :; do read x; done");
  auto waiter = launch("/bin/waiter", {}, std::string());
  ASSERT_EQ(readLine(*waiter), "ready");
  EXPECT_EQ(waiter->tryWait(), std::nullopt);
  EXPECT_TRUE(waiter->signal(SIGTERM));
  int termStatus = waiter->wait();

  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGUSR1, &previous, nullptr);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGUSR1);
  ASSERT_TRUE(WIFSIGNALED(termStatus));
  EXPECT_EQ(WTERMSIG(termStatus), SIGTERM);
}

TEST_F(ProcessLauncherTest, NoChildIsLeftBehindWhetherSignalledWaitedOnOrDropped) {
  script("/bin/sleeper", "echo ready; exec sleep 600");
  // A wait on one thread while another sends the signal.
  auto child = launch("/bin/sleeper");
  ASSERT_EQ(readLine(*child), "ready");
  int status = -1;
  std::thread waiter([&] { status = child->wait(); });
  EXPECT_TRUE(child->signal(SIGKILL));
  waiter.join();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(child->wait(), status);  // repeatable
  EXPECT_EQ(child->tryWait(), status);
  EXPECT_FALSE(child->signal(SIGTERM));  // reaped: nothing is sent
  EXPECT_FALSE(child->signalGroup(SIGKILL));

  // Dropping an unreaped child kills and reaps it: the pid no longer exists for us.
  auto dropped = launch("/bin/sleeper");
  ASSERT_EQ(readLine(*dropped), "ready");
  pid_t pid = dropped->pid();
  dropped.reset();
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

TEST_F(ProcessLauncherTest, OnlyExecutableRegularFilesReachedBeneathTheRootWithoutLinksStart) {
  script("/bin/tool", "exit 3", 0700);
  script("/bin/plain", "exit 0", 0644);
  ASSERT_EQ(::mkfifo(real("/bin/fifo").c_str(), 0755), 0);
  // A script whose interpreter does not exist fails at exec, reported the same way.
  writeFile("/bin/badinterp", "#!/nonexistent/interpreter\n", 0755);
  ASSERT_EQ(::symlink("tool", real("/bin/alias").c_str()), 0);
  ASSERT_EQ(::symlink("bin", real("/linked").c_str()), 0);
  const std::pair<const char*, const char*> refusals[] = {
      {"/bin/sh", "No such file or directory"},  // exists on the real system, not beneath this root
      {"/usr/sbin/missing", "No such file or directory"},
      {"/bin/badinterp", "No such file or directory"},
      {"bin/tool", "Invalid argument"},
      {"/bin/alias", "Too many levels of symbolic links"},
      {"/bin/plain", "Permission denied"},
      {"/bin", "Permission denied"},
      {"/bin/fifo", "Permission denied"}};
  for (const auto& [executable, reason] : refusals) {
    EXPECT_EQ(launchError(executable), std::string("Cannot start ") + executable + ": " + reason);
  }
  std::string middle = launchError("/linked/tool");
  EXPECT_TRUE(middle == "Cannot start /linked/tool: Too many levels of symbolic links" ||
              middle == "Cannot start /linked/tool: Not a directory")
      << middle;
  EXPECT_EQ(WEXITSTATUS(finish(*launch("/bin/tool")).status), 3);

  // Strings that would be cut short at a NUL, and an environment entry without "=".
  EXPECT_EQ(launchError("/bin/tool", {std::string("a\0b", 3)}), "Cannot start /bin/tool: Invalid argument");
  EXPECT_EQ(launchError("/bin/tool", {}, {std::string("A=1\0B=2", 7)}), "Cannot start /bin/tool: Invalid argument");
  EXPECT_EQ(launchError("/bin/tool", {}, {"NOEQUALS"}), "Cannot start /bin/tool: Invalid argument");
  EXPECT_EQ(launchError("/bin/tool", {"a"}, {"A=1"}), "launched");
}

}  // namespace
}  // namespace tidewarden::platform
