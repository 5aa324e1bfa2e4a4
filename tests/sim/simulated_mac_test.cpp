// The simulated Mac in-process: its own apple anchor, refusals of a tampered world, free space and signals.
#include "sim/simulated_mac.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/code_signer.h"
#include "platform/code_signing.h"
#include "platform/file_flags.h"
#include "platform/file_io.h"
#include "platform/free_space.h"
#include "platform/process_signals.h"
#include "sim/simulated_file_flags.h"
#include "sim/world.h"
#include "support/child_program.h"
#include "support/temp_dir.h"
#include "support/signing_fixture.h"

namespace tidewarden::testing {
namespace {

using platform::CodeRequirement;
using platform::StaticCodeObject;
using sim::SimulatedMac;
using sim::WorldError;

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
      teamKey, platform::issueTeamCertificate(anchorKey, "apple", "APPLESIM01", teamKey.publicKey(),
                                              platform::codesign::CertificateClass::appleSoftware)};
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

TEST_F(SimulatedMacTest, OnlyTheWorldsOwnAppleAnchorSatisfiesAnchorApple) {
  SimulatedMac mac(worldDir(), {});
  const std::optional<platform::SigningKey> worldApple =
      platform::SigningKey::fromPrivateKeyPem(readFileBytes(worldDir() + "/anchors/apple.key"));
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
  const std::string publicKey = readFileBytes(worldDir() + "/anchors/apple.pub");
  std::ofstream(worldDir() + "/anchors/apple.pub") << "not a key";
  EXPECT_EQ(constructionError(worldDir()),
            "The world anchor " + worldDir() + "/anchors/apple.pub is not an Ed25519 public key.");
  std::ofstream(worldDir() + "/anchors/apple.pub") << publicKey;

  // Restored, it opens again.
  EXPECT_EQ(constructionError(worldDir()), "(constructed)");
}

TEST_F(SimulatedMacTest, FreeSpaceComesFromTheWorldAndSignalsAreOnlyRecorded) {
  SimulatedMac mac(worldDir(), {});
  platform::FreeSpace& freeSpace = mac.platform().freeSpace;
  EXPECT_EQ(freeSpace.freeBytes("/System/Volumes/Data"), sim::WorldStorage::kDefaultFreeBytes);

  const ProgramResult set = runProgram({TIDEWARDEN_SIM_PATH, "world", "--root", worldDir(), "free-space", "2147483648"});
  EXPECT_EQ(set.exitCode, 0) << set.standardError;
  EXPECT_EQ(freeSpace.freeBytes("/System/Volumes/Data"), 2147483648);
  EXPECT_EQ(freeSpace.freeBytes("/"), 2147483648);
  // The path must exist beneath the simulated root, as on a real volume.
  EXPECT_EQ(freeSpace.freeBytes("/Volumes/Absent"), std::nullopt);
  EXPECT_EQ(errno, ENOENT);

  // A live host process stands in for a pid a simulated tool reported: it is not signalled.
  RunningProgram bystander({"/bin/sleep", "60"});
  platform::ProcessSignals& signals = mac.platform().signals;
  EXPECT_TRUE(signals.send(bystander.pid(), SIGKILL));
  errno = 0;
  EXPECT_FALSE(signals.send(0, SIGTERM));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(bystander.waitForExit(std::chrono::milliseconds(200)), std::nullopt);
  const std::vector<sim::WorldSignal> expected = {{bystander.pid(), SIGKILL}};
  EXPECT_EQ(sim::World::read(worldDir()).signals, expected);
}

// A flagged entry stays where it is, as on a Mac, until root clears a user flag; a system
// flag cannot be cleared; a flagged folder keeps its entries. Flags belong to the object (a
// second name shows them), and a file made after one is removed starts without any.
TEST_F(SimulatedMacTest, FileFlagsForbidRemovalsUntilClearedAndStayWithTheirObject) {
  using namespace platform;
  SimulatedMac mac(worldDir(), {});
  FileFlags& flags = mac.platform().fileFlags;
  const std::string tmp = worldDir() + "/root/private/tmp/";
  const UniqueFd dir = openBeneath(mac.platform().root, "/private/tmp", O_RDONLY | O_DIRECTORY);
  const auto set = [&](const std::string& name, const std::string& list) {
    const std::vector<std::string> arguments{"/private/tmp" + (name.empty() ? "" : "/" + name), list};
    sim::fileFlagsVerb(worldDir(), arguments);
  };
  const auto removal = [&](const std::string& name) { return flags.removeFileAt(dir.get(), name) ? 0 : errno; };
  for (const char* name : {"locked", "system", "old"}) std::ofstream(tmp + name) << name;
  std::filesystem::create_hard_link(tmp + "locked", tmp + "alias");
  set("locked", "uchg,hidden");
  set("system", "schg");
  EXPECT_EQ(flags.entryAt(dir.get(), "alias")->flags, kFlagUserImmutable | kFlagHidden);
  EXPECT_EQ(std::tuple(removal("alias"), removal("system")), std::tuple(EPERM, EPERM));
  EXPECT_FALSE(flags.clearAt(dir.get(), "system", kFlagSystemImmutable));
  EXPECT_EQ(errno, EPERM);
  EXPECT_TRUE(flags.clearAt(dir.get(), "locked", kFlagUserImmutable));
  EXPECT_EQ(std::tuple(removal("alias"), removal("locked")), std::tuple(0, 0));

  set("", "uappnd");
  EXPECT_EQ(removal("old"), EPERM);
  set("", "none");
  set("old", "schg");
  const auto old = flags.entryAt(dir.get(), "old");
  std::filesystem::remove(tmp + "old");  // behind the simulator's back, as root on the host
  std::ofstream(tmp + "new") << "new";
  const auto fresh = flags.entryAt(dir.get(), "new");
  ASSERT_TRUE(old && fresh);
  EXPECT_EQ(fresh->flags, 0u) << (fresh->facts.inode == old->facts.inode ? "on a recycled inode" : "");
  EXPECT_EQ(removal("new"), 0);
}

}  // namespace
}  // namespace tidewarden::testing
