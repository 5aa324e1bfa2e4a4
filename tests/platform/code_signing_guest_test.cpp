// Guest and own code: real child processes, files replaced after launch, processes that end or exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "platform/code_signing.h"
#include "support/child_program.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

using testing::readFileBytes;
using testing::RunningProgram;
using testing::TempDir;
using testing::TestSigningAuthority;
using testing::writeFileBytes;

constexpr const char* kIdentifier = "com.ambergrove.Tidewarden";
// Upper bound of the polls below; each returns as soon as the awaited state is seen.
constexpr auto kPollLimit = std::chrono::seconds(10);

bool pollUntil(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + kPollLimit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string linkTarget(const std::string& path) {
  std::error_code error;  // a vanished process reads as an empty target
  return std::filesystem::read_symlink(path, error).string();
}

class CodeSigningGuestTest : public ::testing::Test {
 protected:
  // Starts `argv` and waits until the process runs argv[0].
  std::unique_ptr<RunningProgram> start(const std::vector<std::string>& argv) {
    auto child = std::make_unique<RunningProgram>(argv);
    const std::string exe = "/proc/" + std::to_string(child->pid()) + "/exe";
    EXPECT_TRUE(pollUntil([&] { return linkTarget(exe) == argv[0]; })) << argv[0];
    return child;
  }

  std::shared_ptr<const CodeObject> guest(pid_t pid) {
    std::shared_ptr<const CodeObject> code;
    EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, kSecCSDefaultFlags, code), kErrSecSuccess);
    return code;
  }

  std::optional<SigningInformation> information(const CodeSigning& signing, const CodeObject& code) {
    std::shared_ptr<const StaticCodeObject> staticCode;
    std::optional<SigningInformation> info;
    EXPECT_EQ(signing.copyStaticCode(code, kSecCSDefaultFlags, staticCode), kErrSecSuccess);
    if (staticCode) {
      EXPECT_EQ(signing.copySigningInformation(*staticCode, kSecCSSigningInformation, info), kErrSecSuccess);
    }
    return info;
  }

  TempDir dir;
  TestSigningAuthority authority;
  CodeSigning signing{authority.options()};
};

TEST_F(CodeSigningGuestTest, GuestIsCheckedByTheBytesTheProcessRuns) {
  std::string path = authority.signedCopy("/bin/sleep", dir.path() + "/sleeper", kIdentifier, "TEAMONE");
  std::unique_ptr<RunningProgram> child = start({path, "600"});
  std::shared_ptr<const CodeObject> code = guest(child->pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(signing, *code).value().teamIdentifier, "TEAMONE");
  EXPECT_EQ(information(signing, *code).value().mainExecutable, path);

  // The file on disk is replaced by a tampered copy after launch. The process still runs
  // the original inode, so its guest code stays valid, while the path now names code
  // whose signature fails.
  std::string bytes = readFileBytes(path);
  bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x10);
  writeFileBytes(dir.path() + "/replacement", bytes, 0755);
  ASSERT_EQ(::rename((dir.path() + "/replacement").c_str(), path.c_str()), 0);
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  std::shared_ptr<const CodeObject> again = guest(child->pid());
  ASSERT_TRUE(again);
  EXPECT_EQ(signing.checkValidity(*again, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(signing, *again).value().mainExecutable, path + " (deleted)");
  EXPECT_EQ(authority.check(path), kErrSecCSSignatureFailed);

  // Once the process has ended (a zombie, then reaped) the guest is invalid.
  const pid_t pid = child->pid();
  std::shared_ptr<const CodeObject> none;
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, 0x40, none), kErrSecCSInvalidFlags);
  ::kill(pid, SIGKILL);
  siginfo_t ended;
  ASSERT_EQ(::waitid(P_PID, pid, &ended, WEXITED | WNOWAIT), 0);  // now a zombie, not yet reaped
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecCSGuestInvalid);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, 0, none), kErrSecCSNoSuchCode);
  ASSERT_TRUE(child->waitForExit(kPollLimit));
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecCSGuestInvalid);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, 0, none), kErrSecCSNoSuchCode);
  for (pid_t unknown : {0, -1}) EXPECT_EQ(signing.copyGuestWithProcessIdentifier(unknown, 0, none), kErrSecCSNoSuchCode);
  EXPECT_EQ(none, nullptr);
  // Its static code is still the pinned file, which stays valid as code.
  std::shared_ptr<const StaticCodeObject> pinned;
  ASSERT_EQ(signing.copyStaticCode(*code, 0, pinned), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*pinned, 0, nullptr), kErrSecSuccess);
}

TEST_F(CodeSigningGuestTest, GuestThatExecsAnotherFileIsInvalid) {
  std::string shell = authority.signedCopy("/bin/sh", dir.path() + "/shell", kIdentifier, "TEAMONE");
  std::string go = dir.path() + "/go";
  ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
  // Held open read-write so that neither side's open of the pipe blocks.
  UniqueFd goFd(::open(go.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(goFd);
  std::unique_ptr<RunningProgram> child = start({shell, "-c", "read line < " + go + "; exec /bin/sleep 600"});
  std::shared_ptr<const CodeObject> code = guest(child->pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecSuccess);

  ASSERT_EQ(::write(goFd.get(), "go\n", 3), 3);
  const std::string exe = "/proc/" + std::to_string(child->pid()) + "/exe";
  ASSERT_TRUE(pollUntil([&] { return linkTarget(exe) == "/bin/sleep" || linkTarget(exe) == "/usr/bin/sleep"; }));
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecCSGuestInvalid);
  // A fresh look sees the unsigned program it runs now.
  std::shared_ptr<const CodeObject> now = guest(child->pid());
  ASSERT_TRUE(now);
  EXPECT_EQ(signing.checkValidity(*now, 0, nullptr), kErrSecCSUnsigned);
}

TEST_F(CodeSigningGuestTest, SelfIsReadFromTheInjectedExecutable) {
  std::string path = authority.signedCopy("/bin/true", dir.path() + "/helper-copy",
                                          "com.ambergrove.Tidewarden.PrivilegedHelper", "TEAMONE");
  CodeSigningOptions options = authority.options();
  options.selfExecutable = path;
  CodeSigning injected(options);
  std::shared_ptr<const CodeObject> self;
  ASSERT_EQ(injected.copySelf(kSecCSDefaultFlags, self), kErrSecSuccess);
  EXPECT_EQ(injected.checkValidity(*self, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(injected, *self).value().identifier, "com.ambergrove.Tidewarden.PrivilegedHelper");

  options.selfExecutable = dir.path() + "/missing";
  EXPECT_EQ(CodeSigning(options).copySelf(kSecCSDefaultFlags, self), kErrSecCSNoSuchCode);
  EXPECT_EQ(self, nullptr);
}

}  // namespace
}  // namespace tidewarden::platform
