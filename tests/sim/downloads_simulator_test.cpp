// Interrupted downloads over the real socket: world download verbs, tidewarden-ctl downloads, a killed removal.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "sim/simulated_clock.h"
#include "sim/world.h"
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

using nlohmann::json;

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
constexpr const char* kSim = TIDEWARDEN_SIM_PATH;
constexpr const char* kOwn = "/Users/Shared/Tidewarden/Downloads";
constexpr const char* kNotApproved = "A selection expired or is no longer approved. Check Installer Downloads again.";
constexpr const char* kSelectCount = "Select between 1 and 50 installer-download files.";

class DownloadsSimulatorTest : public ::testing::Test {
 protected:
  // Starts a simulator on the world directory; false when it did not start listening.
  bool start() {
    simulator_.emplace(std::vector<std::string>{kSim, "serve", "--root", worldDir()});
    return simulator_->readLine(std::chrono::seconds(60)) == "listening on " + socket();
  }
  void TearDown() override {
    if (simulator_) simulator_->stop(SIGTERM, std::chrono::seconds(30));
  }

  std::string worldDir() const { return dir_.path() + "/mac"; }
  std::string socket() const { return worldDir() + "/helper.sock"; }
  std::string host(const std::string& logical) const { return worldDir() + "/root" + logical; }

  ProgramResult world(std::vector<std::string> arguments) {
    std::vector<std::string> argv{kSim, "world", "--root", worldDir()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
  }
  ProgramResult ctl(std::vector<std::string> arguments, const std::string& input = {}) {
    std::vector<std::string> argv{kCtl, "--socket", socket()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, input);
  }
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

  TempDir dir_;
  std::optional<RunningProgram> simulator_;
};

// The Mac's clock reads the world's offset at each question; holders survive a round trip.
TEST(DownloadWorldTest, TheClockOffsetAppliesAtOnceAndOutOfRangeValuesAreRefused) {
  TempDir dir;
  const std::string state = dir.path() + "/world.json";
  std::ofstream(state) << R"({"format":1,"clock":{"aheadSeconds":3600},"downloads":{"holders":[)"
                          R"({"kind":"lock","path":"/x/.tidewarden-download.lock","pid":12,"startTicks":34}]}})";
  auto host = platform::makeSystemClock();
  sim::SimulatedClock clock(dir.path(), *host);
  EXPECT_NEAR(clock.now() - host->now(), 3600, 5);
  sim::World::update(dir.path(), [](sim::WorldRecord& world) { world.clock.aheadSeconds = -60; });
  EXPECT_NEAR(clock.now() - host->now(), -60, 5);
  const sim::WorldRecord world = sim::World::read(dir.path());
  ASSERT_EQ(world.downloads.holders.size(), 1u);
  EXPECT_EQ(world.downloads.holders[0].pid, 12);

  std::ofstream(state) << R"({"format":1,"clock":{"aheadSeconds":1e12}})";
  try {
    sim::World::read(dir.path());
    ADD_FAILURE() << "an offset of 1e12 s was read";
  } catch (const sim::WorldError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot read " + state +
                                             ": The world value \"clock.aheadSeconds\" is out of range "
                                             "(-315360000 to 315360000).");
  }
  EXPECT_NEAR(clock.now() - host->now(), -60, 5);  // the last offset read stays
}

TEST_F(DownloadsSimulatorTest, ScanShowsEachDownloadAndRemovalRefusesMalformedSelections) {
  ASSERT_TRUE(start());
  for (const std::vector<std::string>& verb : std::vector<std::vector<std::string>>{
           {"set-clock", "--ahead", "3600"},
           {"download", "add", "--folder", "idle", "--size", "5000000"},
           {"download", "add", "--folder", "busy", "--size", "1000"},
           {"download", "lock", "busy"},
           {"download", "apple", "--size", "2000000", "--owner", "admin"}}) {
    const ProgramResult result = world(verb);
    ASSERT_EQ(result.exitCode, 0) << verb[0] << " " << verb[1] << ": " << result.standardError;
  }
  // The verbs refuse what they cannot do and change nothing then.
  const ProgramResult noSize = world({"download", "add", "--folder", "other"});
  EXPECT_EQ(noSize.exitCode, 2);
  EXPECT_TRUE(noSize.standardError.starts_with("tidewarden-sim: --size B is required\n")) << noSize.standardError;
  const ProgramResult again = world({"download", "add", "--folder", "idle", "--size", "7"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(again.standardError,
            "tidewarden-sim: Cannot create " + std::string(kOwn) + "/idle/InstallAssistant.pkg.partial: File exists\n");
  EXPECT_EQ(world({"download", "lock", "busy"}).exitCode, 1);  // already held
  const std::string idle = std::string(kOwn) + "/idle/InstallAssistant.pkg.partial";
  const std::string busy = std::string(kOwn) + "/busy/InstallAssistant.pkg.partial";
  const std::string apple =
      "/private/var/folders/zz/sw0000gn_softwareupdate/C/com.apple.SoftwareUpdate/InstallAssistant.pkg.partial";

  const json scan = scanJson();
  ASSERT_EQ(scan.at("items").size(), 3u) << scan.dump();
  EXPECT_EQ(scan.at("items")[0].at("path"), idle);  // largest first
  EXPECT_EQ(scan.at("protectedLocationsChecked"), true);
  EXPECT_EQ(itemAt(scan, idle).at("activity"), "inactive");
  EXPECT_EQ(itemAt(scan, idle).at("logicalBytes"), 5000000);
  EXPECT_EQ(itemAt(scan, busy).at("activity"), "active");
  EXPECT_EQ(itemAt(scan, busy).at("explanation"),
            "A matching download changed or became inaccessible while checking: Tidewarden is still downloading or "
            "preparing this installer.");
  EXPECT_EQ(itemAt(scan, apple).at("source"), "appleSoftwareUpdate");
  EXPECT_EQ(itemAt(scan, apple).at("activity"), "unverified");

  // The table: what, size, activity and id, then where and why.
  const ProgramResult table = ctl({"downloads", "scan"});
  EXPECT_EQ(table.exitCode, 0);
  EXPECT_NE(table.standardOutput.find("Tidewarden download (partial)"), std::string::npos) << table.standardOutput;
  EXPECT_NE(table.standardOutput.find("Apple software-update download (partial)"), std::string::npos);
  EXPECT_NE(table.standardOutput.find("      where: " + busy + "\n"), std::string::npos);
  EXPECT_NE(table.standardOutput.find("      why not removable: A matching download changed"), std::string::npos);
  EXPECT_NE(table.standardOutput.find("5 MB"), std::string::npos);

  // Selections of 0 or 51 ids are refused whole, in the removal reply's shape.
  const std::string id = itemAt(scan, idle).at("id");
  for (const std::size_t count : {std::size_t{0}, std::size_t{51}}) {
    const json request = {{"candidateIDs", std::vector<std::string>(count, id)},
                          {"noInstallationInProgressAcknowledged", true}};
    const ProgramResult refused =
        ctl({"call", "removeInterruptedInstallerDownloads:withReply:", "--data", "-"}, request.dump());
    EXPECT_EQ(json::parse(refused.standardOutput),
              (json{{"removedIDs", json::array()}, {"removedAllocatedBytes", 0}, {"issues", {kSelectCount}}}))
        << count;
  }
  const ProgramResult unacknowledged = ctl({"downloads", "remove", id});
  EXPECT_EQ(unacknowledged.exitCode, 2);
  EXPECT_EQ(sizeOf(idle), 5000000);
  EXPECT_EQ(::access(host(std::string(kOwn) + "/other").c_str(), F_OK), -1);

  // The downloader lets go: the lock is free again for anyone.
  ASSERT_EQ(world({"download", "unlock", "busy"}).exitCode, 0);
  const platform::UniqueFd lock(::open(host(std::string(kOwn) + "/busy/.tidewarden-download.lock").c_str(),
                                       O_RDWR | O_CLOEXEC));
  EXPECT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(world({"download", "unlock", "busy"}).exitCode, 1);
}

TEST_F(DownloadsSimulatorTest, AFileGrowingDuringTheObservationIsActive) {
  ASSERT_TRUE(start());
  ASSERT_EQ(world({"set-clock", "--ahead", "3600"}).exitCode, 0);
  ASSERT_EQ(world({"download", "add", "--folder", "a", "--size", "100"}).exitCode, 0);
  const std::string path = std::string(kOwn) + "/a/InstallAssistant.pkg.partial";
  const ProgramResult grow = world({"download", "grow", path, "--seconds", "10"});
  ASSERT_EQ(grow.exitCode, 0) << grow.standardError;
  const json item = itemAt(scanJson(), path);
  EXPECT_EQ(item.at("activity"), "active");
  EXPECT_EQ(item.at("explanation"), "The file changed during the check. It may still be downloading.");
}

TEST_F(DownloadsSimulatorTest, ARemovalCutShortByKillingTheSimulatorLeavesTheFileWholeAndUnapproved) {
  ASSERT_TRUE(start());
  ASSERT_EQ(world({"set-clock", "--ahead", "3600"}).exitCode, 0);
  ASSERT_EQ(world({"download", "add", "--folder", "a", "--size", "300000"}).exitCode, 0);
  const std::string path = std::string(kOwn) + "/a/InstallAssistant.pkg.partial";
  const json before = itemAt(scanJson(), path);
  ASSERT_EQ(before.at("activity"), "inactive");

  // The removal watches for 20 s; the simulator dies in the middle of it.
  RunningProgram removal(
      {kCtl, "--socket", socket(), "downloads", "remove", before.at("id"), "--no-installation-in-progress"});
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(simulator_->stop(SIGKILL, std::chrono::seconds(30)));
  simulator_.reset();
  EXPECT_EQ(removal.waitForExit(std::chrono::seconds(30)), 3);
  EXPECT_EQ(sizeOf(path), 300000);

  // A new helper approved nothing; a new scan sees the same file, whole, under a new id.
  ASSERT_TRUE(start());
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
  ASSERT_TRUE(start());
  const std::string own = std::string(kOwn) + "/held/InstallAssistant.pkg.partial";
  const std::string apple =
      "/private/var/folders/zz/sw0000gn_softwareupdate/C/com.apple.SoftwareUpdate/InstallAssistant.pkg.partial";
  for (const std::vector<std::string>& verb : std::vector<std::vector<std::string>>{
           {"set-clock", "--ahead", "3600"},
           {"download", "add", "--folder", "held", "--size", "3000"},
           {"download", "apple", "--size", "2000"}}) {
    ASSERT_EQ(world(verb).exitCode, 0) << verb[0];
  }
  const ProgramResult added = world({"preparation", "add-workspace"});
  ASSERT_EQ(added.exitCode, 0) << added.standardError;
  const std::string workspace = added.standardOutput.substr(0, added.standardOutput.find('\n'));

  const json approved = scanJson();
  std::map<std::string, std::string> ids;
  for (const std::string& path : {own, apple, workspace}) {
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
      {"lsof", {"malformed"}, lsofBlocking, {own, apple, workspace}},
      {"lsof", {"malformed", "p611\n"}, lsofBlocking, {own, apple, workspace}},
      {"lsof", {"signal", "1"}, lsofBlocking, {own, apple, workspace}},
      {"ps", {"malformed"}, psBlocking, {apple, workspace}},
      {"ps", {"signal", "9"}, psBlocking, {apple, workspace}},
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
    EXPECT_EQ(sizeOf(apple), 2000) << shown;
    EXPECT_EQ(::access(host(workspace + "/operation.json").c_str(), F_OK), 0) << shown;

    ASSERT_EQ(world({"clear-tool-faults"}).exitCode, 0);
    ASSERT_EQ(world({"close-files"}).exitCode, 0);
    for (const char* pid : {"700", "701"}) ASSERT_EQ(world({"end-process", pid}).exitCode, 0);
    if (c.tool == "hdiutil") ASSERT_EQ(world({"detach-image", "/Users/Shared/p.dmg"}).exitCode, 0);
  }
}

}  // namespace
}  // namespace tidewarden::testing
