// Admission over the real socket: real client processes, signed every which way, traced or injected.
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <filesystem>

#include <gtest/gtest.h>

#include "helper/client_code_validator.h"
#include "helper/helper_process.h"
#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "support/child_program.h"
#include "support/signed_helper_fixture.h"
#include "support/signing_fixture.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

namespace tidewarden::helper {
namespace {

using platform::SigningKey;
using platform::TeamIdentity;
using testing::kClientIdentifier;

// Owner of the "user's folder" that injected libraries come from.
constexpr uid_t kUserId = 4321;
constexpr std::uint64_t kOneGiB = 1ull << 30;

class AdmissionTest : public testing::SignedHelperFixture {
 protected:
  // A copy of the client program signed as asked (nullopt team: ad hoc).
  std::string client(const std::string& name, const std::string& identifier, const std::optional<TeamIdentity>& team) {
    return signedCopy(TIDEWARDEN_CTL_PATH, name, identifier, team);
  }
  std::string sparseClient(const std::string& name, std::uint64_t size, const std::string& identifier,
                           const std::optional<TeamIdentity>& team) {
    return testing::sparseSignedCopy(TIDEWARDEN_CTL_PATH, files.path() + "/" + name, size, identifier, team);
  }

  static int ping(const std::string& program, const std::string& socket, std::string* output = nullptr) {
    auto result = testing::runProgram({program, "--socket", socket, "ping"});
    if (output) *output = result.standardOutput;
    return result.exitCode;
  }

  // Pings with extra environment variables ("NAME=value"), set through env(1) so that the
  // client process itself starts with them.
  static testing::ProgramResult pingWith(const std::vector<std::string>& variables, const std::string& program,
                                         const std::string& socket) {
    std::vector<std::string> argv = {"/usr/bin/env"};
    argv.insert(argv.end(), variables.begin(), variables.end());
    argv.insert(argv.end(), {program, "--socket", socket, "ping"});
    return testing::runProgram(argv);
  }

  // Pings under a tracer, as a debugger would run it: the child asks this test to trace
  // it and execs the client; every stop is continued. Returns the exit status.
  static int pingTraced(const std::string& program, const std::string& socket) {
    std::vector<std::string> arguments = {program, "--socket", socket, "ping"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    // LeakSanitizer cannot work under a tracer; a sanitized client would fail at exit.
    std::string noLeakCheck = "ASAN_OPTIONS=detect_leaks=0";
    char* envp[] = {noLeakCheck.data(), nullptr};
    platform::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(null.get(), STDOUT_FILENO);
      ::dup2(null.get(), STDERR_FILENO);
      ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
      ::execve(program.c_str(), argv.data(), envp);
      ::_exit(127);
    }
    for (;;) {
      int status = 0;
      if (::waitpid(pid, &status, 0) != pid) return -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      const int signal = WSTOPSIG(status);
      ::ptrace(PTRACE_CONT, pid, nullptr, signal == SIGTRAP ? 0 : signal);
    }
  }

  TeamIdentity teamB = makeTeam("TEAMBBBBBB");
};

TEST_F(AdmissionTest, OnlyTheGenuineClientIsAdmitted) {
  startHelper();
  ASSERT_TRUE(helper->validator().runtimeStamp());

  std::string output;
  EXPECT_EQ(ping(client("genuine", kClientIdentifier, teamA), socket, &output), 0);
  EXPECT_EQ(output.rfind("Tidewarden privileged helper ready \u2014 UID 0, EUID 0 \u2014 ", 0), 0u) << output;
  EXPECT_TRUE(output.ends_with(" \u2014 " + helper->validator().runtimeStamp()->text() + "\n")) << output;
  const std::uint64_t hashedForGenuine = hashedBytes();
  EXPECT_GT(hashedForGenuine, 0u);

  // Refused on what their signatures state, before a byte of them is hashed.
  EXPECT_EQ(ping(client("adhoc", kClientIdentifier, std::nullopt), socket), 3);
  EXPECT_EQ(ping(client("other-team", kClientIdentifier, teamB), socket), 3);
  EXPECT_EQ(ping(client("other-identifier", "com.ambergrove.Tidewarden.Agent", teamA), socket), 3);
  EXPECT_EQ(ping(client("other-case", "com.ambergrove.tidewarden", teamA), socket), 3);

  // A certificate for the right team name from a key that no injected anchor holds.
  const SigningKey rogue = SigningKey::generate();
  SigningKey key = SigningKey::generate();
  TeamIdentity forged{key, platform::issueTeamCertificate(rogue, testing::kTestAnchorName, "TEAMAAAAAA", key.publicKey())};
  EXPECT_EQ(ping(client("forged", kClientIdentifier, forged), socket), 3);
  EXPECT_EQ(hashedBytes(), hashedForGenuine);

  // Modified after signing: one byte of the compiler note changed, still a runnable program.
  const std::string modified = client("modified", kClientIdentifier, teamA);
  std::string bytes = testing::readFileBytes(modified);
  const auto note = bytes.find("GCC: (");
  ASSERT_NE(note, std::string::npos);
  bytes[note] = 'g';
  testing::writeFileBytes(modified, bytes, 0755);
  EXPECT_EQ(ping(modified, socket), 3);
  EXPECT_EQ(hashedBytes(), 2 * hashedForGenuine);

  // This test program is not signed at all.
  testing::WireClient unsigned_(socket);
  unsigned_.send("pingWithReply:");
  EXPECT_TRUE(unsigned_.closedWithoutAByte());

  // Refusals leave the helper serving.
  EXPECT_EQ(ping(files.path() + "/genuine", socket), 0);
}

TEST_F(AdmissionTest, HelperWhoseOwnSignatureHasNoTeamRefusesEveryone) {
  const std::string genuine = client("genuine", kClientIdentifier, teamA);
  for (const char* name : {"adhoc-helper", "unsigned-helper"}) {
    std::unique_ptr<testing::TestPlatform> own;
    if (std::string(name) == "adhoc-helper") {
      own = helperPlatform(name, std::nullopt);
    } else {
      const std::string self = files.path() + "/" + name;
      std::ofstream(self, std::ios::binary) << "not a signed program";
      own = std::make_unique<testing::TestPlatform>(
          std::vector<platform::TrustAnchor>{{testing::kTestAnchorName, anchor.publicKey()}}, self);
    }
    const std::string ownSocket = own->rootPath() + "/helper.sock";
    HelperProcess ownHelper(own->platform(), ownSocket);
    EXPECT_EQ(ping(genuine, ownSocket), 3) << name;
  }
}

TEST_F(AdmissionTest, HugeOrMislabelledExecutablesAreRefusedWithoutBeingHashed) {
  startHelper();

  EXPECT_EQ(ping(sparseClient("huge-adhoc", kOneGiB, kClientIdentifier, std::nullopt), socket), 3);
  EXPECT_EQ(ping(sparseClient("huge-other-team", kOneGiB, kClientIdentifier, teamB), socket), 3);
  EXPECT_EQ(ping(sparseClient("huge-other-identifier", kOneGiB, "com.ambergrove.Tidewarden.Agent", teamA), socket), 3);
  // Everything it states is right, but it is larger than any client is.
  EXPECT_EQ(ping(sparseClient("huge-genuine", kOneGiB, kClientIdentifier, teamA), socket), 3);
  // One byte slipped in before the signature: the signed range no longer has the
  // length the code directory records.
  std::string bytes = testing::readFileBytes(client("longer", kClientIdentifier, teamA));
  const auto blobLength =
      platform::codesign::parseFileTrailer(bytes.substr(bytes.size() - platform::codesign::kTrailerBytes));
  ASSERT_TRUE(blobLength);
  bytes.insert(bytes.size() - platform::codesign::kTrailerBytes - *blobLength, 1, '\0');
  testing::writeFileBytes(files.path() + "/longer", bytes, 0755);
  EXPECT_EQ(ping(files.path() + "/longer", socket), 3);
  EXPECT_EQ(hashedBytes(), 0u);

  EXPECT_EQ(ping(client("genuine", kClientIdentifier, teamA), socket), 0);
  EXPECT_GT(hashedBytes(), 0u);
}

TEST_F(AdmissionTest, GenuineClientIsHashedOnceSettledAndAgainOnceChanged) {
  std::atomic<int> secondsAhead{0};
  startHelper([&secondsAhead] {
    std::timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    now.tv_sec += secondsAhead.load();
    return now;
  });

  // Just written: its change time is too recent to rule out a write during hashing.
  const std::string genuine = client("genuine", kClientIdentifier, teamA);
  EXPECT_EQ(ping(genuine, socket), 0);
  const std::uint64_t range = hashedBytes();  // the signed range of one copy
  ASSERT_GT(range, 0u);
  EXPECT_EQ(ping(genuine, socket), 0);
  EXPECT_EQ(hashedBytes(), 2 * range);

  // Settled: hashed once more, then admitted by its identity alone.
  secondsAhead = 10;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ping(genuine, socket), 0);
  EXPECT_EQ(hashedBytes(), 3 * range);

  // Another copy is another file; changed in place (same inode, new change time) after
  // it was remembered, it is hashed again and refused.
  const std::string copy = client("copy", kClientIdentifier, teamA);
  EXPECT_EQ(ping(copy, socket), 0);
  EXPECT_EQ(ping(copy, socket), 0);
  EXPECT_EQ(hashedBytes(), 4 * range);
  const std::string bytes = testing::readFileBytes(copy);
  const auto note = bytes.find("GCC: (");
  ASSERT_NE(note, std::string::npos);
  platform::UniqueFd writer(::open(copy.c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(::pwrite(writer.get(), "g", 1, static_cast<off_t>(note)), 1);
  writer.reset();
  EXPECT_EQ(ping(copy, socket), 3);
  EXPECT_EQ(hashedBytes(), 5 * range);
  EXPECT_EQ(ping(genuine, socket), 0);
  EXPECT_EQ(hashedBytes(), 5 * range);
}

// A genuine client run under a tracer, or carrying code from a user's folder, is
// refused before its executable is hashed.
TEST_F(AdmissionTest, TracedClientOrOneCarryingCodeFromAUsersFolderIsRefused) {
  startHelper();
  const std::string genuine = client("genuine", kClientIdentifier, teamA);
  EXPECT_EQ(pingTraced(genuine, socket), 3);
  EXPECT_EQ(hashedBytes(), 0u);
  EXPECT_EQ(ping(genuine, socket), 0);
  const std::uint64_t hashed = hashedBytes();

  const std::string folder = files.path() + "/home";
  const std::string library = folder + "/libhelpful.so";
  std::filesystem::create_directory(folder);
  std::filesystem::copy_file(TIDEWARDEN_TEST_PRELOAD_PATH, library);
  ASSERT_EQ(::chown(folder.c_str(), kUserId, kUserId), 0);
  ASSERT_EQ(::chown(library.c_str(), kUserId, kUserId), 0);
  // A sanitized client insists on its runtime coming first; the check is not the point.
  const std::string keepOrder = "ASAN_OPTIONS=verify_asan_link_order=0";

  testing::ProgramResult injected = pingWith({"LD_PRELOAD=" + library, keepOrder}, genuine, socket);
  EXPECT_EQ(injected.exitCode, 3);
  EXPECT_EQ(injected.standardOutput, "");
  EXPECT_NE(injected.standardError.find("tidewarden test library loaded"), std::string::npos) << injected.standardError;
  // Refused before its executable was hashed.
  EXPECT_EQ(hashedBytes(), hashed);

  // A system library preloaded the same way is what any client may map.
  testing::ProgramResult system = pingWith({"LD_PRELOAD=libuuid.so.1", keepOrder}, genuine, socket);
  EXPECT_EQ(system.exitCode, 0) << system.standardError;
  EXPECT_EQ(ping(genuine, socket), 0);
}

}  // namespace
}  // namespace tidewarden::helper
