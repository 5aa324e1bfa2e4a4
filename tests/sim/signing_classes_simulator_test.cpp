// Apple's own signature apart from a registered developer's, over the real socket on the simulated Mac.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/world.h"
#include "support/served_mac_fixture.h"

namespace tidewarden::testing {
namespace {

constexpr const char* kDeveloperApp = "/Applications/Install macOS Dev.app";
constexpr const char* kDeveloperPackage = "/Users/Shared/Tidewarden/Downloads/dev/InstallAssistant.pkg";

class SigningClassesSimulatorTest : public ServedMacTest {};

// The world's developer team sits under the same apple anchor as Apple's own: each place that
// asks for Apple refuses it with its own reason, and the quarantine counts the Apple-label
// warning sign (without it, the item scores too little to be quarantined).
TEST_F(SigningClassesSimulatorTest, ADevelopersSignatureUnderApplesAnchorIsNotApples) {
  struct Case {
    std::string name;
    std::vector<std::vector<std::string>> world;
    std::vector<std::string> command;
    std::string input;
    int exitCode;
    std::string shown;  // part of the client's output
  };
  const std::vector<Case> cases{
      {"Rescue Drive source",
       {{"installer", "app", "--name", "Install macOS Dev", "--signer", "developer"},
        {"disk", "add", "--preset", "usb-64g-two-partitions"}},
       {"rescue", "start", "--installer", kDeveloperApp, "--destination", "disk4s2", "--scope", "partition", "--mac",
        mac()},
       "partition\n", 4, "The selected installer does not pass Apple code-signing validation."},
      {"installers scan", {}, {"installers", "scan", "--only", kDeveloperApp}, "", 0,
       "    why: Cannot approve permanent deletion: Local macOS installer could not pass strict signature verification "
       "(Security status -67050). Permanent deletion was not approved. "},
      {"materialization",
       {{"installer", "package", "--folder", "dev", "--version", "15.1", "--build", "24B83", "--app-signer",
         "developer"}},
       {"materialize", kDeveloperPackage, "--version", "15.1", "--build", "24B83"}, "", 4,
       "Preparation failed while validating Apple installer and createinstallmedia: Apple code-signature validation "
       "failed at "},
      {"quarantine, developer's program", {{"add-daemon", "com.apple.dev", "--program", "/Users/Shared/.dev/agent",
                                            "--sign", "developer"}},
       {"quarantine", "--label", "com.apple.dev", "--plist", "/Library/LaunchDaemons/com.apple.dev.plist"}, "", 0,
       "The background item was disabled and moved into quarantine."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& verb : c.world) change(verb);
    const ProgramResult result = ctl(c.command, c.input);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.standardOutput << result.standardError;
    EXPECT_NE(result.standardOutput.find(c.shown), std::string::npos) << result.standardOutput;
  }
  // Nothing was erased, deleted or placed.
  for (const std::string& query : sim::World::read(mac()).disks.queries) {
    EXPECT_FALSE(query.starts_with("erase")) << query;
  }
  EXPECT_TRUE(exists(kDeveloperApp) && exists(kDeveloperPackage) && !exists("/Applications/Install macOS Sequoia.app"));
}

}  // namespace
}  // namespace tidewarden::testing
