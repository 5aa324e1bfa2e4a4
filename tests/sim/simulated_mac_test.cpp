// The simulated Mac in-process: its platform bundle, its own apple anchor, and refusals of a tampered world.
#include "sim/simulated_mac.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

using platform::CodeRequirement;
using platform::StaticCodeObject;
using sim::SimulatedMac;
using sim::WorldError;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::string constructionError(const std::string& directory) try {
  SimulatedMac mac(directory, {});
  return "(constructed)";
} catch (const WorldError& error) {
  return error.what();
}

// Signs a small file inside the simulated root with a team vouched for by `anchorKey`.
void signWithTeamOf(const platform::SigningKey& anchorKey, const std::string& path) {
  std::ofstream(path, std::ios::binary) << "#!/bin/sh\nexit 0\n";
  const platform::SigningKey teamKey = platform::SigningKey::generate();
  platform::SignOptions options;
  options.identifier = "com.apple.simulated.tool";
  options.team = platform::TeamIdentity{
      teamKey, platform::issueTeamCertificate(anchorKey, "apple", "APPLESIM01", teamKey.publicKey())};
  platform::signCode(path, options);
}

platform::OSStatus checkAnchorApple(SimulatedMac& mac, const std::string& logicalPath) {
  const platform::CodeSigning& signing = mac.platform().codeSigning;
  std::shared_ptr<const StaticCodeObject> code;
  std::shared_ptr<const CodeRequirement> requirement;
  EXPECT_EQ(signing.createStaticCodeWithPath(logicalPath, 0, code), platform::kErrSecSuccess);
  EXPECT_EQ(signing.createRequirementWithString("anchor apple", 0, requirement), platform::kErrSecSuccess);
  if (!code || !requirement) return platform::kErrSecCSInternalError;
  return signing.checkStaticValidity(*code, 0, requirement.get());
}

class SimulatedMacTest : public ::testing::Test {
 protected:
  std::string worldDir() const { return dir_.path() + "/mac"; }
  TempDir dir_;
};

TEST_F(SimulatedMacTest, PlatformStandsOnTheWorldRoot) {
  SimulatedMac mac(worldDir() + "//", {});
  EXPECT_EQ(mac.directory(), worldDir());
  EXPECT_EQ(mac.socketPath(), worldDir() + "/helper.sock");

  struct stat viaDescriptor{};
  struct stat viaPath{};
  ASSERT_EQ(::fstat(mac.platform().root.get(), &viaDescriptor), 0);
  ASSERT_EQ(::stat((worldDir() + "/root").c_str(), &viaPath), 0);
  EXPECT_EQ(viaDescriptor.st_ino, viaPath.st_ino);
  EXPECT_EQ(viaDescriptor.st_dev, viaPath.st_dev);
}

TEST_F(SimulatedMacTest, OnlyTheWorldsOwnAppleAnchorSatisfiesAnchorApple) {
  SimulatedMac mac(worldDir(), {});
  const std::optional<platform::SigningKey> worldApple =
      platform::SigningKey::fromPrivateKeyPem(slurp(worldDir() + "/anchors/apple.key"));
  ASSERT_TRUE(worldApple);
  ASSERT_EQ(mac.worldAnchors().size(), 1u);
  EXPECT_EQ(mac.worldAnchors()[0].name, "apple");
  EXPECT_EQ(worldApple->publicKey(), mac.worldAnchors()[0].publicKey);

  signWithTeamOf(*worldApple, worldDir() + "/root/usr/bin/genuine");
  EXPECT_EQ(checkAnchorApple(mac, "/usr/bin/genuine"), platform::kErrSecSuccess);

  // Another key that merely calls itself "apple" is not trusted.
  signWithTeamOf(platform::SigningKey::generate(), worldDir() + "/root/usr/bin/impostor");
  EXPECT_EQ(checkAnchorApple(mac, "/usr/bin/impostor"), platform::kErrSecCSReqFailed);
}

TEST_F(SimulatedMacTest, ATamperedWorldIsRefused) {
  { SimulatedMac mac(worldDir(), {}); }

  // The root replaced by a link to somewhere else is not entered (a link is not a
  // directory to an O_NOFOLLOW directory open).
  TempDir elsewhere;
  std::filesystem::rename(worldDir() + "/root", dir_.path() + "/old-root");
  ASSERT_EQ(::symlink(elsewhere.path().c_str(), (worldDir() + "/root").c_str()), 0);
  EXPECT_EQ(constructionError(worldDir()),
            "Cannot open " + worldDir() + "/root: Not a directory");
  ASSERT_EQ(::unlink((worldDir() + "/root").c_str()), 0);
  std::filesystem::rename(dir_.path() + "/old-root", worldDir() + "/root");

  // A damaged anchor.
  const std::string publicKey = slurp(worldDir() + "/anchors/apple.pub");
  std::ofstream(worldDir() + "/anchors/apple.pub") << "not a key";
  EXPECT_EQ(constructionError(worldDir()),
            "The world anchor " + worldDir() + "/anchors/apple.pub is not an Ed25519 public key.");
  std::ofstream(worldDir() + "/anchors/apple.pub") << publicKey;

  // Restored, it opens again.
  EXPECT_EQ(constructionError(worldDir()), "(constructed)");
}

}  // namespace
}  // namespace tidewarden::testing
