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
#include <map>
#include <memory>
#include <thread>

#include "platform/code_signing.h"
#include "platform/code_signing_process.h"
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

// Ten seconds ahead of the real clock: files the test just wrote count as settled.
std::timespec clockAhead() {
  std::timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  now.tv_sec += 10;
  return now;
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

TEST_F(CodeSigningGuestTest, SettledGuestIsHashedOnceStaticCodeAlwaysAndAnOversizedOneNever) {
  std::string path = authority.signedCopy("/bin/sleep", dir.path() + "/sleeper", kIdentifier, "TEAMONE");
  // Signing appends to the program, so the signed range is the program itself.
  const std::uint64_t signedRange = readFileBytes("/bin/sleep").size();
  std::unique_ptr<RunningProgram> child = start({path, "600"});
  CodeSigningOptions options = authority.options();
  options.wallClock = clockAhead;
  CodeSigning ahead(options);

  std::shared_ptr<const CodeObject> first;
  std::shared_ptr<const CodeObject> second;
  ASSERT_EQ(ahead.copyGuestWithProcessIdentifier(child->pid(), 0, first), kErrSecSuccess);
  ASSERT_EQ(ahead.copyGuestWithProcessIdentifier(child->pid(), 0, second), kErrSecSuccess);
  EXPECT_EQ(ahead.checkValidity(*first, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(ahead.checkValidity(*second, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(ahead.hashedBytes(), signedRange);
  // Static code can be written while it is checked; it is never taken from the cache.
  std::shared_ptr<const StaticCodeObject> onDisk;
  ASSERT_EQ(ahead.createStaticCodeWithPath(path, 0, onDisk), kErrSecSuccess);
  EXPECT_EQ(ahead.checkStaticValidity(*onDisk, 0, nullptr), kErrSecSuccess);
  EXPECT_EQ(ahead.hashedBytes(), 2 * signedRange);

  // One byte past the bound (a hole, so nothing is written): refused unread, even unsigned.
  std::string huge = dir.path() + "/huge-sleeper";
  writeFileBytes(huge, readFileBytes("/bin/sleep"), 0755);
  ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(kMaxGuestExecutableBytes + 1)), 0);
  std::unique_ptr<RunningProgram> big = start({huge, "600"});
  std::shared_ptr<const CodeObject> bigCode;
  ASSERT_EQ(ahead.copyGuestWithProcessIdentifier(big->pid(), 0, bigCode), kErrSecSuccess);
  EXPECT_EQ(ahead.checkValidity(*bigCode, 0, nullptr), kErrSecCSTooBig);
  EXPECT_EQ(ahead.hashedBytes(), 2 * signedRange);
}

// The mapping and tracer rules on hand-made /proc text, for the cases a test cannot
// produce with real files (system directories it must not write into).
class GuestProcessRuleTest : public ::testing::Test {
 protected:
  static struct stat file(dev_t device, ino_t inode, uid_t owner, mode_t mode) {
    struct stat st{};
    st.st_dev = device;
    st.st_ino = inode;
    st.st_uid = owner;
    st.st_mode = S_IFREG | mode;
    return st;
  }

  // Checks `maps`; `files` says what each map_files range holds (absent: unexaminable).
  std::string check(const std::string& maps) {
    asked.clear();
    codesign::Outcome outcome = codesign::checkExecutableMappings(maps, executable, [&](const std::string& range) {
      asked.push_back(range);
      auto found = files.find(range);
      return found == files.end() ? std::nullopt : std::optional<struct stat>(found->second);
    });
    if (outcome.ok()) return "admitted";
    EXPECT_EQ(outcome.status, kErrSecCSGuestInvalid);
    return outcome.detail;
  }

  struct stat executable = file(0xfe00, 100, 1000, 0755);
  std::map<std::string, struct stat> files = {
      {"400000-401000", executable},
      {"7f10-7f20", file(0xfe00, 200, 0, 0755)},
      {"7f30-7f40", file(0xfe00, 300, 1000, 0755)},
      {"7f50-7f60", file(0xfe00, 400, 0, 0775)},
      {"7f70-7f80", file(0xfe00, 500, 0, 0757)},
      {"7f90-7fa0", file(0x1, 600, 0, 0777)},
  };
  std::vector<std::string> asked;
};

TEST_F(GuestProcessRuleTest, CodeMayComeOnlyFromTheExecutableTheKernelAndRootsSystemLibraries) {
  const std::string genuine =
      "00400000-00401000 r-xp 00001000 fe:00 100                                /home/u/client (deleted)\n"
      "00401000-00402000 rw-p 00000000 00:00 0 \n"
      "7f00-7f10 r--p 00000000 fe:00 200                                        /usr/lib/x86_64-linux-gnu/libc.so.6\n"
      "7f10-7f20 r-xp 00001000 fe:00 200                                        /usr/lib/x86_64-linux-gnu/libc.so.6\n"
      "7f20-7f30 r-xp 00000000 00:00 0                                          [vdso]\n"
      "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0                  [vsyscall]\n";
  EXPECT_EQ(check(genuine), "admitted");
  // Only executable file mappings are examined, under the names map_files uses.
  EXPECT_EQ(asked, (std::vector<std::string>{"400000-401000", "7f10-7f20"}));

  const std::pair<std::string, std::string> refused[] = {
      {"7f30-7f40 rwxp 00000000 00:00 0 ", "the process has anonymous executable memory"},
      {"7f30-7f40 r-xp 00000000 00:00 0   [anon:jit]", "the process maps code from [anon:jit]"},
      {"7f30-7f40 r-xp 00000000 fe:00 300   /home/u/libx.so",
       "the process maps code from /home/u/libx.so, outside the system library directories"},
      {"7f10-7f20 r-xp 00000000 fe:00 200   /usr/local/lib/libx.so",
       "the process maps code from /usr/local/lib/libx.so, outside the system library directories"},
      {"7f10-7f20 r-xp 00000000 fe:00 200   /usr/lib/../../home/u/libx.so",
       "the process maps code from /usr/lib/../../home/u/libx.so, outside the system library directories"},
      {"7f90-7fa0 r-xp 00000000 00:01 600   /memfd:x (deleted)",
       "the process maps code from a deleted file: /memfd:x (deleted)"},
      {"7f10-7f20 r-xp 00000000 fe:00 200   /usr/lib/libc.so.6 (deleted)",
       "the process maps code from a deleted file: /usr/lib/libc.so.6 (deleted)"},
      {"7f30-7f40 r-xp 00000000 fe:00 300   /usr/lib/libx.so",
       "the process maps code from /usr/lib/libx.so, which is not a root-owned file only root can write"},
      {"7f50-7f60 r-xp 00000000 fe:00 400   /lib64/libx.so",
       "the process maps code from /lib64/libx.so, which is not a root-owned file only root can write"},
      {"7f70-7f80 r-xp 00000000 fe:00 500   /usr/lib64/libx.so",
       "the process maps code from /usr/lib64/libx.so, which is not a root-owned file only root can write"},
      {"7fb0-7fc0 r-xp 00000000 fe:00 700   /lib/libx.so",
       "the code the process maps from /lib/libx.so cannot be examined"},
      {"7fb0-7fc0 r-xp fe:00 700 /lib/libx.so", "the process memory map is malformed"},
  };
  for (const auto& [line, detail] : refused) EXPECT_EQ(check(genuine + line + "\n"), detail) << line;
}

TEST_F(GuestProcessRuleTest, ATracedProcessIsRefused) {
  EXPECT_TRUE(codesign::checkTracer("Name:\tclient\nState:\tS\nTracerPid:\t0\nUid:\t0\n").ok());
  const codesign::Outcome traced = codesign::checkTracer("Name:\tclient\nTracerPid:\t4242\n");
  EXPECT_EQ(traced.status, kErrSecCSGuestInvalid);
  EXPECT_EQ(traced.detail, "the process is traced by process 4242");
  EXPECT_EQ(codesign::checkTracer("Name:\tclient\nUid:\t0\n").detail, "the process status names no tracer field");
  EXPECT_EQ(codesign::checkTracer("Name:\tx\nTracerPid:\t-1\n").detail,
            "the process status has a malformed tracer field");
}

}  // namespace
}  // namespace tidewarden::platform
