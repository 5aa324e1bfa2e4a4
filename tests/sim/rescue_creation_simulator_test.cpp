// Rescue Drive creation over the real socket on the simulated Mac: the three format paths,
// refusals before any erase, cancels, exclusion, live progress and the sibling protection.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/simulated_media_tool.h"
#include "sim/world.h"
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Steady = std::chrono::steady_clock;

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
constexpr const char* kSim = TIDEWARDEN_SIM_PATH;
constexpr const char* kApp = "/Applications/Install macOS Sequoia.app";
// Generous: a loaded 2-core machine running sanitizer builds.
constexpr auto kBound = std::chrono::seconds(120);
constexpr const char* kWholeDiskSuccess =
    "Installer created and destination verified. Eject the external device in Finder before unplugging it. Booting "
    "from the installer has not been tested.";
constexpr const char* kPartitionSuccess =
    "Installer created on the selected partition. Other partition identities and extents are unchanged. The volume "
    "remains mounted; eject the external device in Finder before unplugging it. Booting has not been tested.";
constexpr const char* kCancelledError =
    "Cancelled. Any formatting that had already begun is not undone; the selected destination may be empty or "
    "incomplete. Refresh Drives before another attempt.";

class RescueCreationSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator_.emplace(std::vector<std::string>{kSim, "serve", "--root", mac()});
    ASSERT_EQ(simulator_->readLine(std::chrono::seconds(60)), "listening on " + mac() + "/helper.sock");
    ASSERT_EQ(world({"installer", "package", "--folder", "S", "--version", "15.1", "--build", "24B83"}).exitCode, 0);
    const ProgramResult made = runProgram({kCtl, "--socket", mac() + "/helper.sock", "materialize",
                                           "/Users/Shared/Tidewarden/Downloads/S/InstallAssistant.pkg", "--version",
                                           "15.1", "--build", "24B83"},
                                          {}, kBound);
    ASSERT_EQ(made.exitCode, 0) << made.standardOutput << made.standardError;
    edit([](sim::WorldRecord& world) { world.installers.mediaTool = sim::WorldMediaTool{}; });
  }
  void TearDown() override {
    if (simulator_) simulator_->stop(SIGTERM, std::chrono::seconds(30));
  }

  std::string mac() const { return dir_.path() + "/mac"; }
  std::string host(const std::string& logical) const { return mac() + "/root" + logical; }
  ProgramResult world(std::vector<std::string> arguments) {
    std::vector<std::string> argv{kSim, "world", "--root", mac()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
  }
  void edit(const std::function<void(sim::WorldRecord&)>& change) { sim::World::update(mac(), change); }
  sim::WorldDisks disks() { return sim::World::read(mac()).disks; }
  std::string plugIn(const std::string& preset) {
    const ProgramResult result = world({"disk", "add", "--preset", preset});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    std::string disk = result.standardOutput;
    while (!disk.empty() && disk.back() == '\n') disk.pop_back();
    return disk;
  }

  // The destination row as `rescue destinations --json` builds it.
  json row(const std::string& identifier, const std::string& scope) {
    const ProgramResult listed = runProgram({kCtl, "rescue", "destinations", "--mac", mac(), "--json"}, {}, kBound);
    for (const json& row : json::parse(listed.standardOutput, nullptr, false)) {
      if (row.value("diskIdentifier", "") == identifier && row.value("scope", "") == scope) return row;
    }
    ADD_FAILURE() << "no " << scope << " row for " << identifier << ": " << listed.standardOutput;
    return json::object();
  }
  // Through the signed client: the helper admits nothing else.
  json call(const std::string& selector, const json& argument) {
    const ProgramResult result =
        runProgram({kCtl, "--socket", mac() + "/helper.sock", "call", selector, "--data", "-"}, argument.dump(), kBound);
    return json::parse(result.standardOutput, nullptr, false);
  }
  json start(const json& destination, const std::string& confirmed = "") {
    return call("startRescueDrive:withReply:",
                {{"installerPath", kApp},
                 {"destination", destination},
                 {"confirmedScope", confirmed.empty() ? destination.at("scope").get<std::string>() : confirmed},
                 {"destinationProtocol", "rescue-destination-scope-v3"}});
  }
  json status(const std::string& id) { return call("rescueDriveStatus:withReply:", {{"operationID", id}}); }
  // Polls status until `condition` holds (or the bound passes); the last status seen.
  json awaitStatus(const std::string& id, const std::function<bool(const json&)>& condition) {
    const auto end = Steady::now() + kBound;
    json seen = status(id);
    while (!condition(seen) && Steady::now() < end) {
      usleep(20000);
      seen = status(id);
    }
    return seen;
  }
  json finish(const std::string& id) {
    return awaitStatus(id, [](const json& s) { return s.value("finished", false); });
  }
  // Whether diskutil was asked to erase `target` (a partition, or a whole disk).
  bool erased(const std::string& target) {
    for (const std::string& query : disks().queries) {
      if (query.starts_with("erase") && query.ends_with("/dev/" + target)) return true;
    }
    return false;
  }
  bool installerOn(const std::string& mountPoint) {
    return fs::is_regular_file(host(mountPoint + "/Install macOS Sequoia.app/Contents/Info.plist"));
  }
  sim::WorldPartition partition(const std::string& identifier) { return *disks().findPartition(identifier).second; }

  TempDir dir_;
  std::optional<RunningProgram> simulator_;
};

// The Must-show successes and the tool that claims success without copying: each ends with
// its exact text, the sibling records untouched and (on success) the installer on the volume.
TEST_F(RescueCreationSimulatorTest, EachFormatPathEndsWithItsExactText) {
  struct Case {
    std::string name;
    std::string preset;
    std::string partition;  // suffix of the selected partition; empty: the whole disk
    std::function<void(sim::WorldRecord&)> arrange;
    std::string message;      // final message
    std::string error;        // final errorMessage (its beginning); empty: success
    bool formats = true;      // an erase command ran
  };
  const std::string shrunk = " The selected partition extent decreased by 4194304 bytes during filesystem conversion "
                             "(30000000000 \u2192 29995805696 bytes), with the same start and unchanged sibling "
                             "partition records.";
  const std::vector<Case> cases{
      {"whole disk", "usb-32g-gpt", "", {}, kWholeDiskSuccess, ""},
      {"converted partition", "usb-64g-two-partitions", "s2", {}, kPartitionSuccess, ""},
      {"existing HFS partition", "usb-64g-two-partitions", "s3", {}, kPartitionSuccess, "", false},
      {"shrunk partition", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.disks.conversionShrinkBytes = 4194304; }, kPartitionSuccess + shrunk, ""},
      {"tool exits 0 without copying", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.installers.mediaTool->skipCopy = true; },
       "Rescue Drive creation stopped; no broader erase was attempted.",
       "Apple's tool returned success, but the copied installer application could not be verified on the selected "
       "volume. The drive has not been declared ready."},
      {"tool prints an overlong line first", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.installers.mediaTool->overlongLine = true; }, kPartitionSuccess, ""},
      {"tool fails at a step", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.installers.mediaTool->failAtStep = "makingBootable"; },
       "Rescue Drive creation stopped; no broader erase was attempted.",
       "Apple\u2019s createinstallmedia did not complete successfully. The selected destination may be erased or "
       "incomplete. No broader erase, resize or fallback was attempted.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string disk = plugIn(c.preset);
    if (c.arrange) edit(c.arrange);
    const std::string target = disk + c.partition;
    const json destination = row(target, c.partition.empty() ? "wholeDisk" : "partition");
    auto before = disks();
    const json started = start(destination);
    ASSERT_TRUE(started.value("accepted", false)) << started.dump();
    EXPECT_EQ(started.at("message"), "Checking the reviewed destination before erasing anything\u2026");
    const json done = finish(started.at("operationID"));
    EXPECT_EQ(done.at("message"), c.message) << done.dump();
    // A tool's failure is followed by its own output.
    EXPECT_TRUE(done.value("errorMessage", "").starts_with(c.error)) << done.dump();
    EXPECT_EQ(done.contains("errorMessage"), !c.error.empty());
    EXPECT_EQ(done.at("success"), c.error.empty());
    if (c.error.empty()) {
      EXPECT_EQ(done.at("progressPercent"), 100);
    }
    auto after = disks();
    EXPECT_EQ(erased(c.partition.empty() ? disk : target), c.formats);
    if (c.partition.empty()) {
      EXPECT_TRUE(installerOn(*after.findDisk(disk)->partitions.back().mountPoint));
    } else {
      EXPECT_EQ(installerOn(*partition(target).mountPoint), c.error.empty());
      for (const sim::WorldPartition& sibling : before.findDisk(disk)->partitions) {
        if (sibling.identifier != target) {
          EXPECT_EQ(partition(sibling.identifier), sibling);
        }
      }
    }
    edit([](sim::WorldRecord& w) {
      w.disks.conversionShrinkBytes.reset();
      w.installers.mediaTool = sim::WorldMediaTool{};
    });
  }
}

// Refusals before anything is written: the capacity rule and a scope confirmed for another row.
TEST_F(RescueCreationSimulatorTest, RefusalsComeBeforeAnyErase) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  ASSERT_EQ(world({"disk", "set", disk + "s2", "size=16000000000"}).exitCode, 0);
  // The installer measures exactly 15000000000 bytes: a hole in its unsealed payload folder.
  std::uintmax_t measured = 0;
  for (const auto& entry : fs::recursive_directory_iterator(host(kApp))) {
    if (entry.is_regular_file() && !entry.is_symlink()) measured += entry.file_size();
  }
  const std::string padding = host(std::string(kApp) + "/Contents/SharedSupport/Padding");
  std::ofstream(padding).close();
  fs::resize_file(padding, 15000000000 - measured);
  const json partitionRow = row(disk + "s2", "partition");

  const json wrongScope = start(partitionRow, "wholeDisk");
  EXPECT_EQ(wrongScope, json({{"accepted", false},
                              {"message", "Destination-scope approval is missing or incompatible. No erase was started."}}));

  const json started = start(partitionRow);
  const json done = finish(started.at("operationID"));
  EXPECT_EQ(done.at("phase"), "failed");
  EXPECT_EQ(done.at("errorMessage"),
            "The selected destination has 16000000000 bytes capacity; this installer's conservative requirement is " +
                std::to_string(15000000000 + 1073741824) +
                " bytes including filesystem headroom. Nothing was erased. Choose a larger partition or disk; no "
                "automatic resizing is performed.");
  EXPECT_FALSE(erased(disk + "s2"));

  const json unknown = status("NO-SUCH-OPERATION");
  EXPECT_EQ(unknown, json({{"operationID", "NO-SUCH-OPERATION"},
                           {"phase", "failed"},
                           {"progressPercent", 0},
                           {"message", "Rescue Drive operation was not found."},
                           {"finished", true},
                           {"success", false},
                           {"errorMessage", "Unknown operation."}}));
}

// A cancel while a command runs terminates it: during the format nothing after it starts;
// during createinstallmedia the tool ends. A second start is refused while one runs.
TEST_F(RescueCreationSimulatorTest, CancelTerminatesTheRunningCommandAndEndsCancelled) {
  struct Case {
    std::string name;
    std::vector<std::string> arrange;  // a world verb
    std::string runningStep;
  };
  const std::vector<Case> cases{
      {"format", {"disk", "erase-hangs", "on"}, "formatting"},
      {"createinstallmedia", {"installer", "media-tool", "--hang-at", "essentialFiles"}, "essentialFiles"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string disk = plugIn("usb-64g-two-partitions");
    ASSERT_EQ(world(c.arrange).exitCode, 0);
    const json destination = row(disk + "s2", "partition");
    const std::string id = start(destination).at("operationID");
    const json running = awaitStatus(id, [&](const json& s) {
      return s.at("liveProgress").at("step") == c.runningStep && s.at("liveProgress").at("commandRunning") == true;
    });
    ASSERT_EQ(running.at("liveProgress").at("step"), c.runningStep) << running.dump();

    EXPECT_EQ(start(destination).at("message"), "Another Rescue Drive operation is already running.");
    const json cancelling = call("cancelRescueDrive:withReply:", {{"operationID", id}});
    EXPECT_EQ(cancelling.at("message"),
              "Cancellation requested. Waiting for the current command to stop; any already-erased data cannot be "
              "restored.");
    const json done = finish(id);
    EXPECT_EQ(done.at("phase"), "cancelled");
    EXPECT_EQ(done.at("message"), "Creation stopped. No further erase or copy was started.");
    EXPECT_EQ(done.at("errorMessage"), kCancelledError);
    EXPECT_EQ(done.at("liveProgress").at("step"), c.runningStep);
    // Cancelling a finished operation changes nothing.
    json again = call("cancelRescueDrive:withReply:", {{"operationID", id}});
    json expected = done;
    again.erase("liveProgress");
    expected.erase("liveProgress");
    EXPECT_EQ(again, expected);
    ASSERT_EQ(world({"disk", "erase-hangs", "off"}).exitCode, 0);
    ASSERT_EQ(world({"installer", "media-tool"}).exitCode, 0);
  }
}

// The live progress follows the tool step by step (the tool waits at a gate file before
// each step); polling status runs no tool; the sibling macOS tries to auto-mount after the
// format is refused while an unrelated stick mounts, and the creation succeeds; a local-installer
// scan is refused meanwhile.
TEST_F(RescueCreationSimulatorTest, LiveProgressFollowsTheToolAndSiblingsStayUnmounted) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  const std::string other = plugIn("usb-32g-gpt");
  ASSERT_EQ(world({"disk", "unmount", other + "s2"}).exitCode, 0);
  edit([](sim::WorldRecord& w) { w.installers.mediaTool->stepGate = true; });
  const std::string id = start(row(disk + "s2", "partition")).at("operationID");

  const json erasing = awaitStatus(id, [](const json& s) { return s.at("liveProgress").at("step") == "erasing"; });
  ASSERT_EQ(erasing.at("phase"), "creatingInstaller") << erasing.dump();
  EXPECT_EQ(erasing.at("progressPercent"), 20);
  // A local-installer scan is refused while the creation runs.
  EXPECT_EQ(call("scanPreparedInstallers:withReply:", json::object()).at("warnings"),
            json::array({"Rescue Drive creation is still running. The source installer cannot be removed yet."}));
  const auto queries = disks().queries;
  for (int i = 0; i < 5; ++i) status(id);
  EXPECT_EQ(disks().queries, queries);

  ASSERT_EQ(world({"disk", "mount", other + "s2"}).exitCode, 0);
  fs::create_directories(mac() + "/" + sim::kMediaToolGateFolder);
  for (const std::string step : {"essentialFiles", "recoveryFiles", "makingBootable", "copyingInstaller"}) {
    std::ofstream(mac() + "/" + sim::kMediaToolGateFolder + "/" + step).close();
    const json seen = awaitStatus(id, [&](const json& s) { return s.at("liveProgress").at("step") == step; });
    EXPECT_EQ(seen.at("liveProgress").at("step"), step);
  }
  std::ofstream(mac() + "/" + sim::kMediaToolGateFolder + "/done").close();
  const json done = finish(id);
  EXPECT_EQ(done.at("message"), kPartitionSuccess) << done.dump();
  EXPECT_EQ(done.at("liveProgress").at("step"), "verifying");

  std::map<std::string, sim::WorldMountOutcome> outcomes;
  for (const sim::WorldMountOutcome& outcome : disks().mountOutcomes) outcomes[outcome.identifier] = outcome;
  EXPECT_TRUE(outcomes[other + "s2"].mounted);
  EXPECT_FALSE(outcomes[disk + "s3"].mounted);
  EXPECT_EQ(outcomes[disk + "s3"].refusal,
            "Tidewarden is preserving this volume's unmounted state during installer creation.");
  EXPECT_FALSE(partition(disk + "s3").mountPoint.has_value());
}

}  // namespace
}  // namespace tidewarden::testing

namespace tidewarden::testing {
namespace {

// tidewarden-ctl rescue start builds the row, takes the scope typed again and follows the
// creation in plain lines; a scope typed differently is refused; status exits 4 for an
// operation that did not succeed.
TEST_F(RescueCreationSimulatorTest, ClientStartsAndFollowsACreation) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  const auto ctl = [&](std::vector<std::string> arguments, const std::string& input = {}) {
    std::vector<std::string> argv{kCtl, "--socket", mac() + "/helper.sock", "rescue"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, input, kBound);
  };
  const std::vector<std::string> startArguments{"start", "--installer", kApp, "--destination", disk + "s2",
                                                "--scope", "partition", "--mac", mac()};
  const ProgramResult mistyped = ctl(startArguments, "wholeDisk\n");
  EXPECT_EQ(mistyped.exitCode, 4);
  EXPECT_EQ(mistyped.standardOutput, "Destination-scope approval is missing or incompatible. No erase was started.\n");

  const ProgramResult created = ctl(startArguments, "partition\n");
  EXPECT_EQ(created.exitCode, 0) << created.standardOutput << created.standardError;
  EXPECT_TRUE(created.standardOutput.starts_with("Checking the reviewed destination before erasing anything\u2026\n"
                                                 "operation "))
      << created.standardOutput;
  // Not a terminal: plain lines, never a redrawn bar.
  EXPECT_EQ(created.standardOutput.find('\r'), std::string::npos);
  EXPECT_TRUE(created.standardOutput.ends_with(std::string("finished: ") + kPartitionSuccess + "\n"));

  const ProgramResult unknown = ctl({"status", "NO-SUCH-OPERATION"});
  EXPECT_EQ(unknown.exitCode, 4);
  EXPECT_TRUE(unknown.standardOutput.ends_with("failed: Rescue Drive operation was not found.\nUnknown operation.\n"))
      << unknown.standardOutput;
}

}  // namespace
}  // namespace tidewarden::testing

namespace tidewarden::testing {
namespace {

// A helper killed while Apple's tool runs keeps nothing in memory: after its restart the
// operation is unknown (never reported as a success), the sibling is untouched, and a
// fresh review of the half-made volume lets a new creation finish it (the HFS volume is
// used as it is).
TEST_F(RescueCreationSimulatorTest, AKilledHelperLeavesAStateANewCreationFinishes) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  const sim::WorldPartition sibling = partition(disk + "s3");
  ASSERT_EQ(world({"installer", "media-tool", "--step-gate", "on"}).exitCode, 0);
  const std::string id = start(row(disk + "s2", "partition")).at("operationID");
  const json running = awaitStatus(id, [](const json& s) { return s.at("liveProgress").at("step") == "erasing"; });
  ASSERT_EQ(running.at("liveProgress").at("step"), "erasing");

  ASSERT_TRUE(simulator_->stop(SIGKILL, std::chrono::seconds(30)));
  simulator_.emplace(std::vector<std::string>{kSim, "serve", "--root", mac()});
  ASSERT_EQ(simulator_->readLine(std::chrono::seconds(60)), "listening on " + mac() + "/helper.sock");
  // The orphaned tool is let through its steps and ends on its own.
  fs::create_directories(mac() + "/" + sim::kMediaToolGateFolder);
  for (const std::string step : {"essentialFiles", "recoveryFiles", "makingBootable", "copyingInstaller", "done"}) {
    std::ofstream(mac() + "/" + sim::kMediaToolGateFolder + "/" + step).close();
  }
  const json unknown = status(id);
  EXPECT_EQ(unknown.at("message"), "Rescue Drive operation was not found.");
  EXPECT_EQ(unknown.at("success"), false);
  EXPECT_EQ(partition(disk + "s3"), sibling);

  ASSERT_EQ(world({"installer", "media-tool"}).exitCode, 0);
  const json again = row(disk + "s2", "partition");
  EXPECT_EQ(again.at("filesystem"), "hfs");
  const auto erases = [&] {
    auto queries = disks().queries;
    return std::count_if(queries.begin(), queries.end(), [](const std::string& q) { return q.starts_with("erase"); });
  };
  const auto erasesBefore = erases();
  const json done = finish(start(again).at("operationID"));
  EXPECT_EQ(done.at("message"), kPartitionSuccess) << done.dump();
  EXPECT_EQ(erases(), erasesBefore);
  EXPECT_TRUE(installerOn(*partition(disk + "s2").mountPoint));
  EXPECT_EQ(partition(disk + "s3"), sibling);
}

}  // namespace
}  // namespace tidewarden::testing
