// The process launcher with real children: shell scripts written into a temporary root.
#include "platform/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

  void makeDirs(const std::string& logical) {
    std::string path;
    std::stringstream parts(logical);
    for (std::string part; std::getline(parts, part, '/');) {
      if (part.empty()) continue;
      path += "/" + part;
      ::mkdir(real(path).c_str(), 0755);
    }
  }

  // Writes `body` below a "#!/bin/sh" line at `logical` beneath the root.
  void script(const std::string& logical, const std::string& body, mode_t mode = 0755) {
    makeDirs(logical.substr(0, logical.rfind('/')));
    UniqueFd fd(::open(real(logical).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    ASSERT_TRUE(fd.valid());
    ASSERT_TRUE(writeAll(fd.get(), "#!/bin/sh\n" + body + "\n"));
    ASSERT_EQ(::fchmod(fd.get(), mode), 0);
  }

  std::unique_ptr<ChildProcess> launch(const std::string& executable, std::vector<std::string> arguments = {},
                                       std::optional<std::string> input = std::nullopt) {
    return launcher_->launch({executable, std::move(arguments), kToolEnvironment, std::move(input)});
  }

  std::string launchError(const LaunchRequest& request) {
    try {
      launcher_->launch(request);
    } catch (const LaunchError& error) {
      return error.what();
    }
    return "launched";
  }

  struct Finished {
    int status;
    std::string output;
    std::string error;
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

TEST_F(ProcessLauncherTest, ExitStatusArgumentsAndOutputs) {
  script("/usr/bin/tool", "printf '%s\\n' \"$@\"; echo oops >&2; exit 7");
  auto child = launch("/usr/bin/tool", {"a b", "", "--flag=*"});
  EXPECT_GT(child->pid(), 0);
  Finished done = finish(*child);
  ASSERT_TRUE(WIFEXITED(done.status));
  EXPECT_EQ(WEXITSTATUS(done.status), 7);
  EXPECT_EQ(done.output, "a b\n\n--flag=*\n");
  EXPECT_EQ(done.error, "oops\n");
  EXPECT_EQ(child->wait(), done.status);  // repeatable
  EXPECT_EQ(child->tryWait(), done.status);
  EXPECT_FALSE(child->signal(SIGTERM));   // reaped: nothing is sent
}

TEST_F(ProcessLauncherTest, ChildSeesExactlyTheGivenEnvironment) {
  // A copy of the real env program (a shell would add PWD of its own accord).
  makeDirs("/usr/bin");
  UniqueFd source(::open("/usr/bin/env", O_RDONLY | O_CLOEXEC));
  std::string program;
  ASSERT_TRUE(readAll(source.get(), program, 16 << 20));
  UniqueFd copy(::open(real("/usr/bin/env").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755));
  ASSERT_TRUE(writeAll(copy.get(), program));
  copy.reset();

  auto child = launcher_->launch({"/usr/bin/env", {}, {"PATH=/usr/bin:/bin", "LC_ALL=C", "ODD=a=b c"}, {}});
  Finished done = finish(*child);
  // Nothing of this test program's own environment (HOME, PATH, ...) reaches the child.
  EXPECT_EQ(done.output, "PATH=/usr/bin:/bin\nLC_ALL=C\nODD=a=b c\n");

  auto empty = launcher_->launch({"/usr/bin/env", {}, {}, {}});
  EXPECT_EQ(finish(*empty).output, "");
}

TEST_F(ProcessLauncherTest, StandardInputIsDeliveredThenEndOfFile) {
  script("/bin/echoin", "cat");
  Finished small = [&] {
    auto child = launch("/bin/echoin", {}, std::string("hello\nworld"));
    return finish(*child);
  }();
  EXPECT_EQ(small.output, "hello\nworld");

  // More than any pipe buffer, to a child that reads all of it...
  std::string big(3 << 20, 'z');
  auto reader = launch("/bin/echoin", {}, big);
  EXPECT_EQ(finish(*reader).output.size(), big.size());
  // ...and to one that reads none: the launch does not block either way.
  script("/bin/ignore", "exit 0");
  auto ignorer = launch("/bin/ignore", {}, big);
  EXPECT_EQ(WEXITSTATUS(finish(*ignorer).status), 0);

  auto empty = launch("/bin/echoin");
  Finished none = finish(*empty);
  EXPECT_EQ(none.output, "");
  EXPECT_EQ(WEXITSTATUS(none.status), 0);
}

TEST_F(ProcessLauncherTest, NoDescriptorIsInheritedButTheExecutable) {
  // Descriptors opened without close-on-exec, as a careless library might: one at the
  // lowest free number, one far above.
  std::string secret = dir_.path() + "/secret";
  UniqueFd leaky(::open(secret.c_str(), O_RDWR | O_CREAT, 0600));
  ASSERT_TRUE(leaky.valid());
  UniqueFd high(::fcntl(leaky.get(), F_DUPFD, 200));
  ASSERT_GE(high.get(), 200);
  // find(1) lists the shell's descriptors from outside, so the listing itself adds none.
  script("/bin/listfds", "find /proc/$$/fd -mindepth 1 -printf '%f %l\\n'");
  auto child = launch("/bin/listfds");
  Finished done = finish(*child);

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
  auto selfKilled = launch("/bin/selfkill");
  int status = finish(*selfKilled).status;

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

TEST_F(ProcessLauncherTest, WaitOnOneThreadWhileAnotherSignals) {
  script("/bin/sleeper", "echo ready; exec sleep 600");
  auto child = launch("/bin/sleeper");
  ASSERT_EQ(readLine(*child), "ready");
  int status = -1;
  std::thread waiter([&] { status = child->wait(); });
  EXPECT_TRUE(child->signal(SIGKILL));
  waiter.join();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST_F(ProcessLauncherTest, GroupSignalReachesGrandchildren) {
  script("/bin/parent", "sleep 600 & echo $!; wait");
  auto child = launch("/bin/parent");
  pid_t grandchild = std::stoi(readLine(*child));
  EXPECT_EQ(::getpgid(grandchild), child->pid());  // the child leads its own group
  EXPECT_TRUE(child->signalGroup(SIGKILL));
  Finished done = finish(*child);  // end of file proves the grandchild let go of the pipes
  EXPECT_TRUE(WIFSIGNALED(done.status));
  EXPECT_FALSE(child->signalGroup(SIGKILL));
}

TEST_F(ProcessLauncherTest, DestroyingAnUnreapedChildKillsAndReapsIt) {
  script("/bin/sleeper", "echo ready; exec sleep 600");
  auto child = launch("/bin/sleeper");
  ASSERT_EQ(readLine(*child), "ready");
  pid_t pid = child->pid();
  child.reset();
  // Reaped, not a zombie: the pid no longer exists for us.
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
}

TEST_F(ProcessLauncherTest, ExecutableIsResolvedBeneathTheRootOnly) {
  // /bin/sh exists on the real system but not beneath this root.
  EXPECT_EQ(launchError({"/bin/sh", {"-c", "true"}, kToolEnvironment, {}}),
            "Cannot start /bin/sh: No such file or directory");
  EXPECT_EQ(launchError({"/usr/sbin/missing", {}, kToolEnvironment, {}}),
            "Cannot start /usr/sbin/missing: No such file or directory");
  EXPECT_EQ(launchError({"bin/tool", {}, kToolEnvironment, {}}), "Cannot start bin/tool: Invalid argument");
}

TEST_F(ProcessLauncherTest, SymbolicLinksAreRefusedAsLeafAndInTheMiddle) {
  script("/bin/tool", "exit 3");
  ASSERT_EQ(::symlink("tool", real("/bin/alias").c_str()), 0);
  ASSERT_EQ(::symlink("bin", real("/linked").c_str()), 0);
  EXPECT_EQ(launchError({"/bin/alias", {}, kToolEnvironment, {}}),
            "Cannot start /bin/alias: Too many levels of symbolic links");
  std::string middle = launchError({"/linked/tool", {}, kToolEnvironment, {}});
  EXPECT_TRUE(middle == "Cannot start /linked/tool: Too many levels of symbolic links" ||
              middle == "Cannot start /linked/tool: Not a directory")
      << middle;
  auto direct = launch("/bin/tool");
  EXPECT_EQ(WEXITSTATUS(finish(*direct).status), 3);
}

TEST_F(ProcessLauncherTest, OnlyExecutableRegularFilesStart) {
  script("/bin/plain", "exit 0", 0644);
  EXPECT_EQ(launchError({"/bin/plain", {}, kToolEnvironment, {}}), "Cannot start /bin/plain: Permission denied");
  EXPECT_EQ(launchError({"/bin", {}, kToolEnvironment, {}}), "Cannot start /bin: Permission denied");
  ASSERT_EQ(::mkfifo(real("/bin/fifo").c_str(), 0755), 0);
  EXPECT_EQ(launchError({"/bin/fifo", {}, kToolEnvironment, {}}), "Cannot start /bin/fifo: Permission denied");

  // A script whose interpreter does not exist fails at exec, reported the same way.
  makeDirs("/bin");
  UniqueFd fd(::open(real("/bin/badinterp").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0755));
  ASSERT_TRUE(writeAll(fd.get(), "#!/nonexistent/interpreter\n"));
  fd.reset();
  EXPECT_EQ(launchError({"/bin/badinterp", {}, kToolEnvironment, {}}),
            "Cannot start /bin/badinterp: No such file or directory");

  script("/bin/fine", "exit 0", 0700);
  EXPECT_EQ(WEXITSTATUS(finish(*launch("/bin/fine")).status), 0);
}

TEST_F(ProcessLauncherTest, StringsThatWouldBeCutShortAreRefused) {
  script("/bin/tool", "exit 0");
  EXPECT_EQ(launchError({"/bin/tool", {std::string("a\0b", 3)}, kToolEnvironment, {}}),
            "Cannot start /bin/tool: Invalid argument");
  EXPECT_EQ(launchError({"/bin/tool", {}, {std::string("A=1\0B=2", 7)}, {}}),
            "Cannot start /bin/tool: Invalid argument");
  EXPECT_EQ(launchError({"/bin/tool", {}, {"NOEQUALS"}, {}}), "Cannot start /bin/tool: Invalid argument");
  EXPECT_EQ(launchError({"/bin/tool", {"a"}, {"A=1"}, {}}), "launched");
}

}  // namespace
}  // namespace tidewarden::platform
