// Installer materialization over the real socket on the simulated Mac: saved packages, tool faults, kills.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/full_volume.h"
#include "support/served_mac_fixture.h"

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kCodesign = TIDEWARDEN_CODESIGN_PATH;
constexpr const char* kDownloads = "/Users/Shared/Tidewarden/Downloads";
constexpr const char* kPreparationBase = "/private/var/tmp/com.ambergrove.Tidewarden";
constexpr const char* kApp = "/Applications/Install macOS Sequoia.app";
constexpr const char* kSuccess = "The verified macOS installer is ready in /Applications.";
constexpr const char* kBadIdentity = "The request does not contain a valid expected macOS version/build.";

class MaterializeSimulatorTest : public ServedMacTest {
 protected:
  std::string packagePath(const std::string& folder) const {
    return std::string(kDownloads) + "/" + folder + "/InstallAssistant.pkg";
  }
  // Saves a package of 15.1 (24B83) in `folder` with the extra verb options.
  void save(const std::string& folder, std::vector<std::string> options = {}) {
    std::vector<std::string> verb{"installer", "package", "--folder", folder, "--version", "15.1", "--build", "24B83"};
    verb.insert(verb.end(), options.begin(), options.end());
    const ProgramResult result = world(verb);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    ASSERT_EQ(result.standardOutput, packagePath(folder) + "\n");
  }
  json materialize(const std::string& path, const std::string& version = "15.1", const std::string& build = "24B83") {
    const ProgramResult result = ctl({"materialize", path, "--version", version, "--build", build, "--json"});
    EXPECT_TRUE(result.exitCode == 0 || result.exitCode == 4) << result.standardError;
    return json::parse(result.standardOutput, nullptr, false);
  }
  std::string bytesOf(const std::string& logical) const {
    std::ifstream in(host(logical), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
};

std::string failedWhile(const std::string& phase, const std::string& text) {
  return "Preparation failed while " + phase + ": " + text + " Preparation workspace removal verified.";
}

// The Must-show table: each row saves a package (or arranges the world), materializes
// it and checks the message (a refusal's start, or success), that the saved package is
// byte-identical, and that no preparation storage is left behind.
TEST_F(MaterializeSimulatorTest, EachPackageIsPlacedOrRefusedAtItsPhaseLeavingNoWorkspace) {
  struct Case {
    std::string name;
    std::vector<std::string> saveOptions;
    std::string version = "15.1";
    std::string build = "24B83";
    std::string expected;  // empty: success; else the message's beginning
    std::vector<std::vector<std::string>> worldBefore = {};
    bool identityRead = false;  // a failure after the payload's identity was read reports it
  };
  const std::vector<Case> cases{
      {"in-app", {}, "15.1", "24B83", ""},
      {"beside-payload", {"--layout", "beside-payload"}, "15.1", "24B83", ""},
      {"hybrid", {"--layout", "hybrid"}, "15.1", "24B83", ""},
      {"no-dot", {}, "15", "24B83", kBadIdentity},
      {"lower-case-build", {}, "15.1", "24b83", kBadIdentity},
      {"developer-signed", {"--signer", "developer"}, "15.1", "24B83",
       failedWhile("checking Apple package signature",
                   "The private package snapshot did not pass Apple package-signature validation.")},
      {"two-apps", {"--apps", "2"}, "15.1", "24B83",
       failedWhile("locating extracted installer",
                   "Expected one extracted Install macOS application; found 2. No candidate was guessed.")},
      {"both-images", {"--layout", "both"}, "15.1", "24B83",
       failedWhile("assembling SharedSupport payload",
                   "Both an in-app and a separate SharedSupport.dmg exist for this component. Assembly refused to "
                   "choose or overwrite either image.")},
      {"xar-without-koly", {"--layout", "none"}, "15.1", "24B83",
       failedWhile("assembling SharedSupport payload",
                   "The expanded app has no SharedSupport.dmg, no image exists beside its own Payload, and the "
                   "signed package is not a supported XAR/UDIF hybrid. Assembly stopped rather than treating a "
                   "missing image as a valid installer.")},
      {"identifier-X", {"--identifier", "com.apple.InstallAssistantX"}, "15.1", "24B83",
       failedWhile("validating Apple installer and createinstallmedia",
                   "The installer identifier is not a supported Apple InstallAssistant identity.")},
      {"conflicting-assets", {"--assets", "15.1/24B83,15.1/24B91"}, "15.1", "24B83",
       failedWhile("reading macOS payload identity",
                   "The payload contains conflicting macOS versions or builds; it cannot be safely matched to the "
                   "selected installer.")},
      {"another-build", {"--assets", "15.1/24B91"}, "15.1", "24B83",
       failedWhile("reading macOS payload identity",
                   "Expected macOS 15.1 (24B83), but the actual macOS payload contains 15.1 (24B91). The saved "
                   "package was not accepted."),
       {}, true},
      {"detached-by-someone-else", {}, "15.1", "24B83",
       failedWhile("reading macOS payload identity",
                   "Payload was read. Image cleanup: The image attachment changed during final checks; no detach "
                   "was attempted."),
       {{"installer", "detach-before-check"}}, true},
      // The detach worked but its answer was cut off: unconfirmed, and the workspace goes.
      {"detach-cut-off", {}, "15.1", "24B83",
       failedWhile("reading macOS payload identity",
                   "Payload was read. Image cleanup: The detach of the private payload image was not confirmed: "
                   "/usr/bin/hdiutil detach did not finish successfully (exit 0, output incomplete)."),
       {{"tool-fault", "hdiutil", "flood", "--only", "detach"}}, true},
      {"pkgutil-exit-3", {}, "15.1", "24B83",
       failedWhile("checking Apple package signature",
                   "The private package snapshot did not pass Apple package-signature validation. /usr/sbin/pkgutil "
                   "--check-signature did not finish successfully (exit 3)."),
       {{"tool-fault", "pkgutil", "exit", "3"}}},
      {"pkgutil-flood", {}, "15.1", "24B83",
       "Preparation failed while checking Apple package signature: The private package snapshot did not pass "
       "Apple package-signature validation. /usr/sbin/pkgutil --check-signature did not finish successfully (exit 0, output incomplete).",
       {{"tool-fault", "pkgutil", "flood"}}},
      {"pkgutil-missing", {}, "15.1", "24B83",
       "Preparation failed while checking Apple package signature: The private package snapshot did not pass "
       "Apple package-signature validation. /usr/sbin/pkgutil --check-signature did not finish successfully (exit -1).",
       {{"tool-fault", "pkgutil", "missing"}}},
      {"pkgutil-malformed", {}, "15.1", "24B83",
       failedWhile("checking Apple package signature",
                   "The private package snapshot did not pass Apple package-signature validation."),
       {{"tool-fault", "pkgutil", "malformed"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    change({"clear-tool-faults"});
    ASSERT_NO_FATAL_FAILURE(save(c.name, c.saveOptions));
    for (const auto& verb : c.worldBefore) change(verb);
    const std::string path = packagePath(c.name);
    const std::string before = bytesOf(path);
    const json reply = materialize(path, c.version, c.build);
    ASSERT_TRUE(reply.is_object());
    const std::string message = reply.value("message", "");
    if (c.expected.empty()) {
      EXPECT_EQ(message, kSuccess);
      EXPECT_EQ(reply.value("success", false), true);
      EXPECT_EQ(reply.value("installerPath", ""), kApp);
      EXPECT_EQ(reply.at("payloadIdentity"), (json{{"version", c.version}, {"build", c.build}}));
      EXPECT_EQ(reply.at("preparationCleanup").at("verified"), true);
      const ProgramResult apple = runProgram({kCodesign, "verify", "--anchor", "apple=" + mac() + "/anchors/apple.pub",
                                              "--requirement", "anchor apple", host(kApp)});
      EXPECT_EQ(apple.exitCode, 0) << apple.standardOutput << apple.standardError;
      EXPECT_TRUE(exists(std::string(kApp) + "/Contents/SharedSupport/SharedSupport.dmg"));
    } else {
      EXPECT_TRUE(message.starts_with(c.expected)) << message;
      EXPECT_EQ(reply.value("success", true), false);
      EXPECT_EQ(reply.contains("payloadIdentity"), c.identityRead);
      EXPECT_FALSE(exists(kApp));
    }
    EXPECT_EQ(bytesOf(path), before);
    EXPECT_FALSE(exists(std::string(kPreparationBase) + "/InstallAssistant"));
    std::filesystem::remove_all(host(kApp));
  }
}

// Refusals before any workspace: the path's shape, a link on the way, the budget.
TEST_F(MaterializeSimulatorTest, RequestsRefusedBeforeAnyWorkspaceCreateNothing) {
  ASSERT_NO_FATAL_FAILURE(save("plain"));
  ASSERT_NO_FATAL_FAILURE(save("outer/nested"));
  change({"download", "add", "--folder", "partial", "--size", "4096"});
  fs::create_directory_symlink(host(std::string(kDownloads) + "/plain"), host(std::string(kDownloads) + "/linked"));
  const std::string plain = packagePath("plain");
  const std::int64_t size = static_cast<std::int64_t>(fs::file_size(host(plain)));
  const std::int64_t budget = 3 * size + 8589934592;
  const std::string onlyComplete =
      "Only a completed InstallAssistant.pkg in an immediate Tidewarden download workspace can be prepared. Path: ";

  const std::string partial = std::string(kDownloads) + "/partial/InstallAssistant.pkg.partial";
  const std::string nested = packagePath("outer/nested");
  const std::string linked = packagePath("linked");
  EXPECT_EQ(materialize(partial).value("message", ""), onlyComplete + partial);
  EXPECT_EQ(materialize(nested).value("message", ""), onlyComplete + nested);
  EXPECT_TRUE(materialize(linked).value("message", "").starts_with("Unsafe or unreadable preparation ancestor linked"));
  change({"free-space", std::to_string(budget - 1)});
  const json tooLittle = materialize(plain);
  EXPECT_EQ(tooLittle.value("message", ""),
            "Preparation requires a conservative 8.59 GB of additional working space. The saved package was kept; "
            "no new preparation workspace was created.");
  EXPECT_FALSE(tooLittle.contains("preparationCleanup"));
  EXPECT_FALSE(exists(std::string(kPreparationBase) + "/InstallAssistant"));
  EXPECT_FALSE(exists(kApp));

  change({"free-space", std::to_string(budget)});
  EXPECT_EQ(materialize(plain).value("message", ""), kSuccess);
}

// A package appended to during the copy: the bytes land just before the copy's first
// free-space check (the budget check is the one before it).
TEST_F(MaterializeSimulatorTest, PackageAppendedToDuringTheCopyIsRefusedAndItsWorkspaceRemoved) {
  save("growing", {"--size", "83886080"});
  const std::string path = packagePath("growing");
  change({"installer", "append-on-free-space-check", path, "--bytes", "4096", "--after", "2"});
  const json reply = materialize(path);
  EXPECT_TRUE(reply.value("message", "").starts_with(
      failedWhile("making private package snapshot", "The saved package grew while it was being copied.")))
      << reply.dump();
  EXPECT_EQ(fs::file_size(host(path)), 83886080u + 4096u);
  EXPECT_FALSE(exists(std::string(kPreparationBase) + "/InstallAssistant"));
}

// An existing item of the same name is never replaced; the workspace goes all the same.
TEST_F(MaterializeSimulatorTest, ExistingItemInApplicationsIsLeftUntouched) {
  save("again");
  fs::create_directories(host(kApp));
  std::ofstream(host(std::string(kApp) + "/mine")) << "the user's own";
  const json reply = materialize(packagePath("again"));
  EXPECT_TRUE(reply.value("message", "").starts_with(failedWhile(
      "placing verified installer in Applications",
      "An item already exists at /Applications/Install macOS Sequoia.app. It was not overwritten. Use the existing "
      "installer or explicitly move it first.")))
      << reply.dump();
  EXPECT_EQ(bytesOf(std::string(kApp) + "/mine"), "the user's own");
  EXPECT_EQ(fs::directory_iterator(host(kApp))->path().filename(), "mine");
  EXPECT_FALSE(exists(std::string(kPreparationBase) + "/InstallAssistant"));
}

// A detach that fails, or an image list that cannot be read, may leave an image mounted
// inside the workspace: cleanup keeps the workspace rather than deleting beneath a mount,
// and says so; the scan shows it until the image is gone.
TEST_F(MaterializeSimulatorTest, WorkspaceIsKeptWhileAnImageMayStillBeAttachedInIt) {
  save("busy");
  change({"installer", "detach-fails", "on"});
  const json reply = materialize(packagePath("busy"));
  const std::string root = std::string(kPreparationBase) + "/InstallAssistant";
  EXPECT_TRUE(reply.value("message", "").starts_with(
      "Preparation failed while reading macOS payload identity: Payload was read. Image cleanup: The private payload "
      "image could not be detached: /usr/bin/hdiutil detach did not finish successfully (exit 16). hdiutil: couldn't "
      "unmount \"disk4\" - Resource busy. Its workspace will remain visible for recovery. Preparation storage could "
      "not be completely removed. Kept at " + root + "/"))
      << reply.dump();
  EXPECT_EQ(reply.at("payloadIdentity"), (json{{"version", "15.1"}, {"build", "24B83"}}));
  EXPECT_EQ(reply.at("preparationCleanup").at("issues"),
            json::array({"A disk image is still associated with this preparation workspace. It was not recursively "
                         "deleted. No unrelated disk was detached."}));
  EXPECT_TRUE(exists(root));
  EXPECT_FALSE(exists(kApp));
  const ProgramResult scan = ctl({"downloads", "scan", "--json"});
  EXPECT_NE(scan.standardOutput.find("An image is still attached to this workspace."), std::string::npos)
      << scan.standardOutput;
}

// A volume that is full once the workspace folder is made: the manifest cannot be
// written, the request fails, and its workspace is removed all the same, so that the
// next request, once there is space again, goes through.
TEST_F(MaterializeSimulatorTest, AWorkspaceWhoseManifestCannotBeWrittenIsRemoved) {
  save("full");
  {
    const auto volume = FullVolume::mountAt(host(kPreparationBase), "size=1m,mode=0755");
    if (!volume) GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
    volume->fill("filler");
    const json reply = materialize(packagePath("full"));
    EXPECT_TRUE(reply.value("message", "").starts_with(failedWhile(
        "validating request", "Cannot write preparation data: No space left on device")))
        << reply.dump();
    EXPECT_FALSE(exists(std::string(kPreparationBase) + "/InstallAssistant"));
  }
  EXPECT_EQ(materialize(packagePath("full")).value("message", ""), kSuccess);
}

// A helper killed mid-way (in the package copy, or at the latest in the signature check)
// leaves its workspace with the manifest that names it: the next request is refused until
// the scan's removal takes it away, at the first try (the copy's unwritten data, whose
// allocation grows later, is flushed before the scan measures); then the package goes through.
TEST_F(MaterializeSimulatorTest, WorkspaceOfAKilledHelperBlocksUntilRemovedThenTheNextRequestSucceeds) {
  save("killed", {"--size", "268435456"});
  change({"tool-fault", "pkgutil", "hang"});
  RunningProgram client({TIDEWARDEN_CTL_PATH, "--socket", socket(), "materialize", packagePath("killed"),
                         "--version", "15.1", "--build", "24B83"});
  const std::string root = std::string(kPreparationBase) + "/InstallAssistant";
  std::optional<std::string> manifest;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!manifest && std::chrono::steady_clock::now() < deadline) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(host(root), ignored)) {
      std::ifstream in(entry.path() / "operation.json");
      const json document = json::parse(in, nullptr, false);
      const std::string phase = document.is_object() ? document.value("phase", "") : "";
      std::error_code none;
      const bool copying = phase == "making private package snapshot" &&
                           fs::file_size(entry.path() / "InstallAssistant.pkg", none) > 0 && !none;
      if (copying || phase == "checking Apple package signature") manifest = entry.path().filename().string();
    }
    if (!manifest) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(manifest) << "the manifest never reached the package copy";
  ASSERT_TRUE(kill());
  client.stop(SIGKILL, std::chrono::seconds(30));
  ASSERT_TRUE(serve());
  change({"clear-tool-faults"});
  EXPECT_TRUE(materialize(packagePath("killed")).value("message", "").starts_with(
      "Earlier preparation storage remains at " + root + "/" + *manifest + "."));

  const ProgramResult scan = ctl({"downloads", "scan", "--json"});
  const json items = json::parse(scan.standardOutput, nullptr, false).value("items", json::array());
  std::string id;
  for (const json& item : items) {
    if (item.value("path", "") == root + "/" + *manifest) id = item.value("id", "");
  }
  ASSERT_FALSE(id.empty()) << scan.standardOutput;
  EXPECT_EQ(ctl({"downloads", "remove", id, "--no-installation-in-progress"}).exitCode, 0);
  EXPECT_EQ(materialize(packagePath("killed")).value("message", ""), kSuccess);
}

}  // namespace
}  // namespace tidewarden::testing
