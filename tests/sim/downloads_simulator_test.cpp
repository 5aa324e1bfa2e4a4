// Interrupted downloads over the real socket: tidewarden-ctl downloads, a killed removal, faulty tools.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_program.h"
#include "support/platform_waits.h"
#include "support/served_mac_fixture.h"

namespace tidewarden::testing {
namespace {

using nlohmann::json;

constexpr const char* kOwn = "/Users/Shared/Tidewarden/Downloads";
const std::string kApple =
    "/private/var/folders/zz/sw0000gn_softwareupdate/C/com.apple.SoftwareUpdate/InstallAssistant.pkg.partial";
constexpr const char* kNotApproved = "A selection expired or is no longer approved. Check Installer Downloads again.";

class DownloadsSimulatorTest : public ServedMacTest {
 protected:
  json scanJson() {
    const ProgramResult result = ctl({"downloads", "scan", "--json"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return json::parse(result.standardOutput);
  }
  static json itemAt(const json& scan, const std::string& path) {
    for (const json& item : scan.at("items")) {
      if (item.at("path") == path) return item;
    }
    return json();
  }
  off_t sizeOf(const std::string& logical) const {
    struct stat st{};
    return ::lstat(host(logical).c_str(), &st) == 0 ? st.st_size : -1;
  }
};

TEST_F(DownloadsSimulatorTest, ScanShowsEachDownloadWithItsActivityAndTheClientTabulatesIt) {
  change({"set-clock", "--ahead", "3600"});
  change({"download", "add", "--folder", "idle", "--size", "5000000"});
  change({"download", "add", "--folder", "busy", "--size", "1000"});
  change({"download", "lock", "busy"});
  change({"download", "apple", "--size", "2000000"});
  EXPECT_EQ(world({"download", "lock", "busy"}).exitCode, 1);  // already held
  const std::string idle = std::string(kOwn) + "/idle/InstallAssistant.pkg.partial";
  const std::string busy = std::string(kOwn) + "/busy/InstallAssistant.pkg.partial";

  const json scan = scanJson();
  ASSERT_EQ(scan.at("items").size(), 3u) << scan.dump();
  EXPECT_EQ(scan.at("items")[0].at("path"), idle);  // largest first
  EXPECT_EQ(scan.at("protectedLocationsChecked"), true);

  // The table: what, size, activity and id, then where and why (the simulated downloader's
  // lock keeps its download).
  const ProgramResult table = ctl({"downloads", "scan"});
  EXPECT_EQ(table.exitCode, 0);
  for (const std::string& part : {std::string("Tidewarden download (partial)"), std::string("5 MB"),
                                  std::string("Apple software-update download (partial)"), "      where: " + busy + "\n",
                                  std::string("      why not removable: A matching download changed")}) {
    EXPECT_NE(table.standardOutput.find(part), std::string::npos) << part << " in\n" << table.standardOutput;
  }

  // Without the acknowledgment the client sends nothing.
  EXPECT_EQ(ctl({"downloads", "remove", itemAt(scan, idle).at("id")}).exitCode, 2);
  EXPECT_EQ(sizeOf(idle), 5000000);
  change({"download", "unlock", "busy"});  // the simulated downloader does not outlive the test
}

TEST_F(DownloadsSimulatorTest, ARemovalCutShortByKillingTheSimulatorLeavesTheFileWholeAndUnapproved) {
  ASSERT_EQ(world({"set-clock", "--ahead", "3600"}).exitCode, 0);
  ASSERT_EQ(world({"download", "add", "--folder", "a", "--size", "300000"}).exitCode, 0);
  // A downloader that has let go leaves its lock file behind; the removal holds that lock
  // from when it pins the file until the file is gone.
  ASSERT_EQ(world({"download", "lock", "a"}).exitCode, 0);
  ASSERT_EQ(world({"download", "unlock", "a"}).exitCode, 0);
  struct stat lock{};
  ASSERT_EQ(::stat(host(std::string(kOwn) + "/a/.tidewarden-download.lock").c_str(), &lock), 0);
  const std::string path = std::string(kOwn) + "/a/InstallAssistant.pkg.partial";
  const json before = itemAt(scanJson(), path);
  ASSERT_EQ(before.at("activity"), "inactive");

  // The removal watches for 20 s; the simulator dies once it holds the lock, in that wait.
  RunningProgram removal(
      {TIDEWARDEN_CTL_PATH, "--socket", socket(), "downloads", "remove", before.at("id"), "--no-installation-in-progress"});
  char file[64];  // as /proc/locks names it
  std::snprintf(file, sizeof file, " %02x:%02x:%lu ", ::major(lock.st_dev), ::minor(lock.st_dev),
                static_cast<unsigned long>(lock.st_ino));
  const auto held = [&] {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      if (line.find(file) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(eventually(held, std::chrono::seconds(60))) << "the removal never pinned the download";
  ASSERT_TRUE(kill());
  EXPECT_EQ(removal.waitForExit(std::chrono::seconds(30)), 3);
  EXPECT_EQ(sizeOf(path), 300000);

  // A new helper approved nothing; a new scan sees the same file, whole, under a new id.
  ASSERT_TRUE(serve());
  const ProgramResult stale = ctl({"downloads", "remove", before.at("id"), "--no-installation-in-progress", "--json"});
  EXPECT_EQ(stale.exitCode, 4);
  EXPECT_EQ(json::parse(stale.standardOutput).at("issues"), json::array({kNotApproved}));
  const json after = itemAt(scanJson(), path);
  EXPECT_EQ(after.at("activity"), "inactive");
  EXPECT_NE(after.at("id"), before.at("id"));
  EXPECT_EQ(after.at("logicalBytes"), before.at("logicalBytes"));
  EXPECT_EQ(after.at("modifiedAt"), before.at("modifiedAt"));
}

// A garbled or dead tool over the socket, as an adversary would use one: each tool's
// readers see the simulated tool print lines that are not its records, or die by a
// signal, while what that tool would report blocks. No scan approves, and no removal
// of what an earlier scan approved takes away a download or a workspace.
TEST_F(DownloadsSimulatorTest, AGarbledOrDeadToolNeverLetsADownloadOrWorkspaceGo) {
  const std::string own = std::string(kOwn) + "/held/InstallAssistant.pkg.partial";
  change({"set-clock", "--ahead", "3600"});
  change({"download", "add", "--folder", "held", "--size", "3000"});
  change({"download", "apple", "--size", "2000"});
  const ProgramResult added = world({"preparation", "add-workspace"});
  ASSERT_EQ(added.exitCode, 0) << added.standardError;
  const std::string workspace = added.standardOutput.substr(0, added.standardOutput.find('\n'));

  const json approved = scanJson();
  std::map<std::string, std::string> ids;
  for (const std::string& path : {own, kApple, workspace}) {
    ASSERT_EQ(itemAt(approved, path).value("activity", ""), "inactive") << path << approved.dump();
    ids[path] = itemAt(approved, path).at("id");
  }

  struct Case {
    std::string tool;
    std::vector<std::string> fault;
    std::vector<std::vector<std::string>> blocking;  // what the tool's true answer would show
    std::vector<std::string> readBy;                 // the items whose checks read this tool
  };
  const std::vector<std::vector<std::string>> lsofBlocking{{"open-file", "611", "7", own},
                                                           {"open-file", "612", "3", workspace + "/operation.json"}};
  const std::vector<std::vector<std::string>> psBlocking{{"start-process", "700", "/usr/sbin/softwareupdate"},
                                                         {"start-process", "701", "/usr/sbin/pkgutil"}};
  const std::vector<std::vector<std::string>> imageBlocking{
      {"attach-image", "/Users/Shared/p.dmg", "--entity", "/dev/disk9s1=" + workspace + "/PayloadMetadata"}};
  const std::vector<Case> cases{
      {"lsof", {"malformed"}, lsofBlocking, {own, kApple, workspace}},
      {"lsof", {"malformed", "p611\n"}, lsofBlocking, {own, kApple, workspace}},
      {"lsof", {"signal", "1"}, lsofBlocking, {own, kApple, workspace}},
      {"ps", {"malformed"}, psBlocking, {kApple, workspace}},
      {"ps", {"signal", "9"}, psBlocking, {kApple, workspace}},
      {"hdiutil", {"malformed"}, imageBlocking, {workspace}},
      {"hdiutil", {"signal", "1"}, imageBlocking, {workspace}}};
  for (const Case& c : cases) {
    const std::string shown = c.tool + " " + c.fault[0] + (c.fault.size() > 1 ? " " + c.fault[1] : "");
    for (const std::vector<std::string>& verb : c.blocking) ASSERT_EQ(world(verb).exitCode, 0) << shown;
    std::vector<std::string> fault{"tool-fault", c.tool};
    fault.insert(fault.end(), c.fault.begin(), c.fault.end());
    ASSERT_EQ(world(fault).exitCode, 0) << shown;

    const json scan = scanJson();
    std::vector<std::string> remove{"downloads", "remove"};
    for (const std::string& path : c.readBy) {
      EXPECT_EQ(itemAt(scan, path).value("activity", ""), "unverified") << shown << ": " << path;
      remove.push_back(ids[path]);
    }
    remove.insert(remove.end(), {"--no-installation-in-progress", "--json"});
    const ProgramResult removal = ctl(remove);
    EXPECT_EQ(removal.exitCode, 4) << shown << ": " << removal.standardOutput;
    EXPECT_EQ(json::parse(removal.standardOutput).at("removedIDs"), json::array()) << shown;
    EXPECT_EQ(sizeOf(own), 3000) << shown;
    EXPECT_EQ(sizeOf(kApple), 2000) << shown;
    EXPECT_EQ(::access(host(workspace + "/operation.json").c_str(), F_OK), 0) << shown;

    change({"clear-tool-faults"});
    change({"close-files"});
    for (const char* pid : {"700", "701"}) change({"end-process", pid});
    if (c.tool == "hdiutil") change({"detach-image", "/Users/Shared/p.dmg"});
  }
}

}  // namespace
}  // namespace tidewarden::testing
