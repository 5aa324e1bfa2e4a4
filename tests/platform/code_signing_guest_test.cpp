// Guest and own code: real child processes, files replaced after launch, processes that end or exec.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/code_signing.h"
#include "support/signing_fixture.h"
#include "support/temp_dir.h"

extern char** environ;

namespace tidewarden::platform {
namespace {

using testing::copyFileBytes;
using testing::kAdhoc;
using testing::readFileBytes;
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
  char buffer[4096];
  ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
  return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

char processState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// A child process that is always killed and reaped, with an optional pipe to its stdin.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int error = ::posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    input_ = fds[1];
    if (error != 0) pid_ = -1;
  }
  ~Child() {
    ::close(input_);
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  void write(const std::string& text) { ASSERT_EQ(::write(input_, text.data(), text.size()), ssize_t(text.size())); }
  void kill() { ::kill(pid_, SIGKILL); }
  void reap() {
    ::waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  bool reaped_ = false;
};

class CodeSigningGuestTest : public ::testing::Test {
 protected:
  CodeSigningGuestTest() { authority.addTeam("TEAMONE"); }

  std::shared_ptr<const CodeObject> guest(const CodeSigning& signing, pid_t pid) {
    std::shared_ptr<const CodeObject> code;
    EXPECT_EQ(signing.copyGuestWithProcessIdentifier(pid, kSecCSDefaultFlags, code), kErrSecSuccess);
    return code;
  }

  std::optional<SigningInformation> information(const CodeSigning& signing, const CodeObject& code) {
    std::shared_ptr<const StaticCodeObject> staticCode;
    EXPECT_EQ(signing.copyStaticCode(code, kSecCSDefaultFlags, staticCode), kErrSecSuccess);
    std::optional<SigningInformation> info;
    if (staticCode) {
      EXPECT_EQ(signing.copySigningInformation(*staticCode, kSecCSSigningInformation, info), kErrSecSuccess);
    }
    return info;
  }

  TempDir dir;
  TestSigningAuthority authority;
};

TEST_F(CodeSigningGuestTest, GuestIsCheckedByTheBytesTheProcessRuns) {
  std::string path = authority.signedCopy("/bin/sleep", dir.path() + "/sleeper", kIdentifier, "TEAMONE");
  Child child({path, "600"});
  ASSERT_GT(child.pid(), 0);
  std::string procExe = "/proc/" + std::to_string(child.pid()) + "/exe";
  ASSERT_TRUE(pollUntil([&] { return linkTarget(procExe) == path; }));

  CodeSigning signing(authority.options());
  std::shared_ptr<const CodeObject> code = guest(signing, child.pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  std::shared_ptr<const CodeRequirement> requirement;
  ASSERT_EQ(signing.createRequirementWithString("identifier \"com.ambergrove.Tidewarden\" and anchor trusted", 0,
                                                requirement),
            kErrSecSuccess);
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, requirement.get()), kErrSecSuccess);
  std::optional<SigningInformation> info = information(signing, *code);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, "TEAMONE");
  EXPECT_EQ(info->mainExecutable, path);

  // The file on disk is replaced by a tampered copy after launch. The process still runs
  // the original inode, so its guest code stays valid, while the path now names code
  // whose signature fails.
  std::string bytes = readFileBytes(path);
  bytes[bytes.size() / 3] = static_cast<char>(bytes[bytes.size() / 3] ^ 0x10);
  writeFileBytes(dir.path() + "/replacement", bytes, 0755);
  ASSERT_EQ(::rename((dir.path() + "/replacement").c_str(), path.c_str()), 0);

  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, requirement.get()), kErrSecSuccess);
  std::shared_ptr<const CodeObject> again = guest(signing, child.pid());
  ASSERT_TRUE(again);
  EXPECT_EQ(signing.checkValidity(*again, kSecCSDefaultFlags, nullptr), kErrSecSuccess);
  EXPECT_EQ(information(signing, *again)->mainExecutable, path + " (deleted)");
  std::shared_ptr<const StaticCodeObject> onDisk;
  ASSERT_EQ(signing.createStaticCodeWithPath(path, 0, onDisk), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*onDisk, 0, nullptr), kErrSecCSSignatureFailed);

  // Once the process has ended (a zombie, then reaped) the guest is invalid.
  child.kill();
  ASSERT_TRUE(pollUntil([&] { return processState(child.pid()) == 'Z'; }));
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecCSGuestInvalid);
  std::shared_ptr<const CodeObject> zombie;
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(child.pid(), 0, zombie), kErrSecCSNoSuchCode);
  child.reap();
  EXPECT_EQ(signing.checkValidity(*code, kSecCSDefaultFlags, nullptr), kErrSecCSGuestInvalid);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(child.pid(), 0, zombie), kErrSecCSNoSuchCode);
  EXPECT_EQ(zombie, nullptr);
  // Its static code is still the pinned file, which stays valid as code.
  std::shared_ptr<const StaticCodeObject> pinned;
  ASSERT_EQ(signing.copyStaticCode(*code, 0, pinned), kErrSecSuccess);
  EXPECT_EQ(signing.checkStaticValidity(*pinned, 0, nullptr), kErrSecSuccess);
}

TEST_F(CodeSigningGuestTest, GuestThatExecsAnotherFileIsInvalid) {
  std::string shell = authority.signedCopy("/bin/sh", dir.path() + "/shell", kIdentifier, "TEAMONE");
  Child child({shell, "-c", "read line; exec /bin/sleep 600"});
  ASSERT_GT(child.pid(), 0);
  std::string procExe = "/proc/" + std::to_string(child.pid()) + "/exe";
  ASSERT_TRUE(pollUntil([&] { return linkTarget(procExe) == shell; }));

  CodeSigning signing(authority.options());
  std::shared_ptr<const CodeObject> code = guest(signing, child.pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecSuccess);

  child.write("go\n");
  ASSERT_TRUE(pollUntil([&] { return linkTarget(procExe) == "/bin/sleep" || linkTarget(procExe) == "/usr/bin/sleep"; }));
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecCSGuestInvalid);
  // A fresh look sees the unsigned program it runs now.
  std::shared_ptr<const CodeObject> now = guest(signing, child.pid());
  ASSERT_TRUE(now);
  EXPECT_EQ(signing.checkValidity(*now, 0, nullptr), kErrSecCSUnsigned);
}

TEST_F(CodeSigningGuestTest, AdhocAndUnknownGuests) {
  std::string path = authority.signedCopy("/bin/sleep", dir.path() + "/adhoc-sleeper", kIdentifier, kAdhoc);
  Child child({path, "600"});
  ASSERT_GT(child.pid(), 0);
  std::string procExe = "/proc/" + std::to_string(child.pid()) + "/exe";
  ASSERT_TRUE(pollUntil([&] { return linkTarget(procExe) == path; }));

  CodeSigning signing(authority.options());
  std::shared_ptr<const CodeObject> code = guest(signing, child.pid());
  ASSERT_TRUE(code);
  EXPECT_EQ(signing.checkValidity(*code, 0, nullptr), kErrSecSuccess);
  std::optional<SigningInformation> info = information(signing, *code);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, kIdentifier);
  EXPECT_EQ(info->teamIdentifier, std::nullopt);

  std::shared_ptr<const CodeObject> none;
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(0, 0, none), kErrSecCSNoSuchCode);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(-1, 0, none), kErrSecCSNoSuchCode);
  EXPECT_EQ(signing.copyGuestWithProcessIdentifier(child.pid(), 0x40, none), kErrSecCSInvalidFlags);
  EXPECT_EQ(none, nullptr);
}

TEST_F(CodeSigningGuestTest, SelfIsReadFromTheInjectedExecutable) {
  std::string path = authority.signedCopy("/bin/true", dir.path() + "/helper-copy",
                                          "com.ambergrove.Tidewarden.PrivilegedHelper", "TEAMONE");
  CodeSigningOptions options = authority.options();
  options.selfExecutable = path;
  CodeSigning signing(options);
  std::shared_ptr<const CodeObject> self;
  ASSERT_EQ(signing.copySelf(kSecCSDefaultFlags, self), kErrSecSuccess);
  EXPECT_EQ(signing.checkValidity(*self, 0, nullptr), kErrSecSuccess);
  std::optional<SigningInformation> info = information(signing, *self);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, "com.ambergrove.Tidewarden.PrivilegedHelper");
  EXPECT_EQ(info->teamIdentifier, "TEAMONE");
  EXPECT_EQ(info->mainExecutable, path);

  // The real self of this unsigned test program.
  CodeSigning real(authority.options());
  ASSERT_EQ(real.copySelf(kSecCSDefaultFlags, self), kErrSecSuccess);
  EXPECT_EQ(real.checkValidity(*self, 0, nullptr), kErrSecCSUnsigned);
  info = information(real, *self);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->identifier, std::nullopt);
  EXPECT_EQ(info->mainExecutable, linkTarget("/proc/self/exe"));

  options.selfExecutable = dir.path() + "/missing";
  CodeSigning missing(options);
  EXPECT_EQ(missing.copySelf(kSecCSDefaultFlags, self), kErrSecCSNoSuchCode);
  EXPECT_EQ(self, nullptr);
}

}  // namespace
}  // namespace tidewarden::platform
