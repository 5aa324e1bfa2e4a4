// Admission over the real socket: real client processes, signed every which way.
#include <fstream>
#include <filesystem>

#include <gtest/gtest.h>

#include "helper/client_code_validator.h"
#include "helper/helper_process.h"
#include "platform/code_signer.h"
#include "support/child_program.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

namespace tidewarden::helper {
namespace {

using platform::SigningKey;
using platform::SignOptions;
using platform::TeamIdentity;

constexpr const char* kAnchorName = "test-anchor";
constexpr const char* kClientIdentifier = "com.ambergrove.Tidewarden";
constexpr const char* kHelperIdentifier = "com.ambergrove.Tidewarden.PrivilegedHelper";

TeamIdentity makeTeam(const SigningKey& anchor, const std::string& team) {
  SigningKey key = SigningKey::generate();
  return TeamIdentity{key, platform::issueTeamCertificate(anchor, kAnchorName, team, key.publicKey())};
}

class AdmissionTest : public ::testing::Test {
 protected:
  // A copy of the client program signed as asked (nullopt team: ad hoc).
  std::string client(const std::string& name, const std::string& identifier, const std::optional<TeamIdentity>& team) {
    const std::string path = files.path() + "/" + name;
    std::filesystem::copy_file(TIDEWARDEN_CTL_PATH, path);
    platform::signCode(path, SignOptions{identifier, team, {}});
    return path;
  }

  // Starts a helper whose own code is a copy signed as asked, trusting only our anchor.
  std::unique_ptr<testing::TestPlatform> helperPlatform(const std::string& name, const std::optional<TeamIdentity>& team) {
    const std::string self = files.path() + "/" + name;
    std::filesystem::copy_file(TIDEWARDEN_CTL_PATH, self);
    platform::signCode(self, SignOptions{kHelperIdentifier, team, {}});
    return std::make_unique<testing::TestPlatform>(
        std::vector<platform::TrustAnchor>{{kAnchorName, anchor.publicKey()}}, self);
  }

  static int ping(const std::string& program, const std::string& socket, std::string* output = nullptr) {
    auto result = testing::runProgram({program, "--socket", socket, "ping"});
    if (output) *output = result.standardOutput;
    return result.exitCode;
  }

  testing::TempDir files;
  SigningKey anchor = SigningKey::generate();
  TeamIdentity teamA = makeTeam(anchor, "TEAMAAAAAA");
  TeamIdentity teamB = makeTeam(anchor, "TEAMBBBBBB");
};

TEST_F(AdmissionTest, OnlyTheGenuineClientIsAdmitted) {
  auto test = helperPlatform("helper", teamA);
  const std::string socket = test->rootPath() + "/helper.sock";
  HelperProcess helper(test->platform(), socket);
  ASSERT_TRUE(helper.validator().runtimeStamp());

  std::string output;
  EXPECT_EQ(ping(client("genuine", kClientIdentifier, teamA), socket, &output), 0);
  EXPECT_EQ(output.rfind("Tidewarden privileged helper ready \u2014 UID 0, EUID 0 \u2014 ", 0), 0u) << output;
  EXPECT_TRUE(output.ends_with(" \u2014 " + helper.validator().runtimeStamp()->text() + "\n")) << output;

  EXPECT_EQ(ping(client("adhoc", kClientIdentifier, std::nullopt), socket), 3);
  EXPECT_EQ(ping(client("other-team", kClientIdentifier, teamB), socket), 3);
  EXPECT_EQ(ping(client("other-identifier", "com.ambergrove.Tidewarden.Agent", teamA), socket), 3);
  EXPECT_EQ(ping(client("other-case", "com.ambergrove.tidewarden", teamA), socket), 3);

  // A certificate for the right team name from a key that no injected anchor holds.
  const SigningKey rogue = SigningKey::generate();
  SigningKey key = SigningKey::generate();
  TeamIdentity forged{key, platform::issueTeamCertificate(rogue, kAnchorName, "TEAMAAAAAA", key.publicKey())};
  EXPECT_EQ(ping(client("forged", kClientIdentifier, forged), socket), 3);

  // Modified after signing: one byte of the compiler note changed, still a runnable program.
  const std::string modified = client("modified", kClientIdentifier, teamA);
  std::string bytes;
  {
    std::ifstream in(modified, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const auto note = bytes.find("GCC: (");
  ASSERT_NE(note, std::string::npos);
  bytes[note] = 'g';
  std::ofstream(modified, std::ios::binary | std::ios::trunc) << bytes;
  EXPECT_EQ(ping(modified, socket), 3);

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
    std::unique_ptr<testing::TestPlatform> test;
    if (std::string(name) == "adhoc-helper") {
      test = helperPlatform(name, std::nullopt);
    } else {
      const std::string self = files.path() + "/" + name;
      std::ofstream(self, std::ios::binary) << "not a signed program";
      test = std::make_unique<testing::TestPlatform>(
          std::vector<platform::TrustAnchor>{{kAnchorName, anchor.publicKey()}}, self);
    }
    const std::string socket = test->rootPath() + "/helper.sock";
    HelperProcess helper(test->platform(), socket);
    EXPECT_EQ(ping(genuine, socket), 3) << name;
  }
}

}  // namespace
}  // namespace tidewarden::helper
