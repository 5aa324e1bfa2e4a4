// A helper on a real socket whose own code is a copy signed by a test team, and clients signed as a test asks.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "helper/helper_process.h"
#include "platform/code_signer.h"
#include "support/temp_dir.h"
#include "support/test_platform.h"

namespace tidewarden::testing {

inline constexpr const char* kTestAnchorName = "test-anchor";
inline constexpr const char* kClientIdentifier = "com.ambergrove.Tidewarden";
inline constexpr const char* kHelperIdentifier = "com.ambergrove.Tidewarden.PrivilegedHelper";

class SignedHelperFixture : public ::testing::Test {
 protected:
  // A team whose certificate the trusted test anchor issued.
  platform::TeamIdentity makeTeam(const std::string& name) const {
    platform::SigningKey key = platform::SigningKey::generate();
    return {key, platform::issueTeamCertificate(anchor, kTestAnchorName, name, key.publicKey())};
  }
  // A copy of `program` in `files`, signed as `identifier` by `team` (ad hoc without one).
  std::string signedCopy(const std::string& program, const std::string& name, const std::string& identifier,
                         const std::optional<platform::TeamIdentity>& team) {
    const std::string path = files.path() + "/" + name;
    std::filesystem::copy_file(program, path);
    platform::signCode(path, platform::SignOptions{identifier, team, {}});
    return path;
  }
  // A platform whose own code is a copy signed as the helper by `team`, trusting only the test anchor.
  std::unique_ptr<TestPlatform> helperPlatform(const std::string& name, const std::optional<platform::TeamIdentity>& team,
                                               std::function<std::timespec()> wallClock = {}) {
    return std::make_unique<TestPlatform>(std::vector<platform::TrustAnchor>{{kTestAnchorName, anchor.publicKey()}},
                                          signedCopy(TIDEWARDEN_CTL_PATH, name, kHelperIdentifier, team),
                                          std::move(wallClock));
  }
  // Starts the helper, signed by team A, serving at `socket`.
  void startHelper(std::function<std::timespec()> wallClock = {}) {
    test = helperPlatform("helper", teamA, std::move(wallClock));
    socket = test->rootPath() + "/helper.sock";
    helper = std::make_unique<helper::HelperProcess>(test->platform(), socket);
  }
  std::uint64_t hashedBytes() const { return test->platform().codeSigning.hashedBytes(); }

  TempDir files;
  platform::SigningKey anchor = platform::SigningKey::generate();
  platform::TeamIdentity teamA = makeTeam("TEAMAAAAAA");
  std::unique_ptr<TestPlatform> test;
  std::string socket;
  std::unique_ptr<helper::HelperProcess> helper;
};

}  // namespace tidewarden::testing
