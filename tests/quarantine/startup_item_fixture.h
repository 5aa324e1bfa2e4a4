// A test Mac for startup items: a temporary root with launch daemons, scripts and signed programs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/signing_fixture.h"
#include "support/test_platform.h"

namespace tidewarden::testing {

// Code signed by this authority: Apple's own software and a registered developer, both
// under the apple anchor; the test platform trusts it.
class StartupItemFixture {
 public:
  static constexpr const char* kAppleTeam = "APPLESW001";
  static constexpr const char* kDeveloperTeam = "DEVTEAM001";

  StartupItemFixture();

  TestPlatform& test() { return *test_; }
  platform::Platform& platform() { return test_->platform(); }

  // The host path of a logical path.
  std::string host(const std::string& logical) const;
  // Writes a file at a logical path (parents made as needed, 0755).
  void write(const std::string& logical, const std::string& bytes, mode_t mode = 0755);
  bool exists(const std::string& logical) const;
  std::string read(const std::string& logical) const;
  void symlink(const std::string& target, const std::string& logical);
  void chown(const std::string& logical, uid_t uid);

  // A daemon property list at `plistPath` with this Label and ProgramArguments (and
  // Program when given).
  void writeDaemon(const std::string& plistPath, const std::string& label, const std::vector<std::string>& arguments,
                   const std::optional<std::string>& program = std::nullopt);
  // A shell script whose body is `body`.
  void writeScript(const std::string& logical, const std::string& body);
  // A small program file signed by `team` (apple, developer or ad hoc), or left unsigned.
  enum class Signer { apple, developer, adhoc, none };
  void writeProgram(const std::string& logical, Signer signer, const std::string& identifier);

 private:
  TestSigningAuthority signing_;
  std::unique_ptr<TestPlatform> test_;
};

}  // namespace tidewarden::testing
