// Rescue Drive creation over the real socket on the simulated Mac: the three format paths,
// refusals before any erase, cancels, exclusion, live progress and the sibling protection.
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/tool_groups.h"
#include "sim/simulated_disk_formats.h"
#include "sim/simulated_diskutil.h"
#include "sim/simulated_media_tool.h"
#include "sim/world.h"
#include "support/served_mac_fixture.h"

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Steady = std::chrono::steady_clock;

constexpr const char* kApp = "/Applications/Install macOS Sequoia.app";
// Where macOS mounts the volume Apple's tool renamed after the installer.
constexpr const char* kRenamed = "/Volumes/Install macOS Sequoia";
constexpr const char* kWholeDiskSuccess =
    "Installer created and destination verified. Eject the external device in Finder before unplugging it. Booting "
    "from the installer has not been tested.";
constexpr const char* kPartitionSuccess =
    "Installer created on the selected partition. Other partition identities and extents are unchanged. The volume "
    "remains mounted; eject the external device in Finder before unplugging it. Booting has not been tested.";
constexpr const char* kCancelledError =
    "Cancelled. Any formatting that had already begun is not undone; the selected destination may be empty or "
    "incomplete. Refresh Drives before another attempt.";

class RescueCreationSimulatorTest : public ServedMacTest {
 protected:
  // An installer as a materialization leaves it: signed by Apple, its payload folder unsealed.
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ServedMacTest::SetUp());
    change({"installer", "app", "--resource-policy-only"});
    edit([](sim::WorldRecord& world) { world.installers.mediaTool = sim::WorldMediaTool{}; });
  }

  void edit(const std::function<void(sim::WorldRecord&)>& update) { sim::World::update(mac(), update); }
  sim::WorldDisks disks() { return sim::World::read(mac()).disks; }
  std::string plugIn(const std::string& preset) {
    std::string disk;
    edit([&](sim::WorldRecord& w) { disk = sim::addWorldDiskPreset(w.disks, preset); });
    return disk;
  }

  // The destination row as `rescue destinations --json` builds it.
  json row(const std::string& identifier, const std::string& scope) {
    const ProgramResult listed = ctl({"rescue", "destinations", "--mac", mac(), "--json"});
    for (const json& row : json::parse(listed.standardOutput, nullptr, false)) {
      if (row.value("diskIdentifier", "") == identifier && row.value("scope", "") == scope) return row;
    }
    ADD_FAILURE() << "no " << scope << " row for " << identifier << ": " << listed.standardOutput;
    return json::object();
  }
  // Through the signed client: the helper admits nothing else.
  json call(const std::string& selector, const json& argument) {
    return json::parse(ctl({"call", selector, "--data", "-"}, argument.dump()).standardOutput, nullptr, false);
  }
  json start(const json& destination, const std::string& confirmed = "") {
    return call("startRescueDrive:withReply:",
                {{"installerPath", kApp},
                 {"destination", destination},
                 {"confirmedScope", confirmed.empty() ? destination.at("scope").get<std::string>() : confirmed},
                 {"destinationProtocol", "rescue-destination-scope-v3"}});
  }
  // tidewarden-ctl rescue start for the partition `identifier`, the scope then typed on its standard input.
  std::vector<std::string> clientStart(const std::string& identifier) {
    return {"rescue", "start", "--installer", kApp, "--destination", identifier, "--scope", "partition", "--mac", mac()};
  }
  json status(const std::string& id) { return call("rescueDriveStatus:withReply:", {{"operationID", id}}); }
  // Polls status until `condition` holds (or the bound passes); the last status seen.
  json awaitStatus(const std::string& id, const std::function<bool(const json&)>& condition) {
    const auto end = Steady::now() + kClientBound;
    json seen = status(id);
    while (!condition(seen) && Steady::now() < end) {
      usleep(200000);  // each look starts a client, which the helper admits by hashing it
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
  json cancel(const std::string& id) { return call("cancelRescueDrive:withReply:", {{"operationID", id}}); }
  json awaitRunning(const std::string& id, const std::string& step) {
    return awaitStatus(id, [&](const json& s) {
      return s.at("liveProgress").at("step") == step && s.at("liveProgress").at("commandRunning") == true;
    });
  }
  void openGate(const std::string& name) { std::ofstream(mac() + "/" + name).close(); }
  void openToolGates() {
    fs::create_directories(mac() + "/" + sim::kMediaToolGateFolder);
    for (const std::string step : {"essentialFiles", "recoveryFiles", "makingBootable", "copyingInstaller", "done"}) {
      openGate(std::string(sim::kMediaToolGateFolder) + "/" + step);
    }
  }
};

// The Must-show successes, a format or a tool that dies or claims success without doing its
// work: each ends with its exact text, nothing but the approved target erased, the sibling
// records untouched and (on success only) the installer on the volume, which Apple's tool
// renamed and macOS mounted again under the installer's name (" 1" when that path is taken).
TEST_F(RescueCreationSimulatorTest, EachFormatPathEndsWithItsExactText) {
  struct Case {
    std::string name;
    std::string preset;
    std::string partition;  // suffix of the selected partition; empty: the whole disk
    std::function<void(sim::WorldRecord&)> arrange;
    std::string message;      // final message
    std::string error;        // final errorMessage (its beginning); empty: success
    bool formats = true;      // an erase command ran
    std::optional<std::string> mountedAt;  // where the renamed volume ends up mounted
  };
  const auto takeRenamedPath = [&](sim::WorldRecord& w) {
    sim::WorldPartition& spare = w.disks.disks.back().partitions.back();  // a sibling, mounted there
    spare.mountPoint = kRenamed;
    fs::create_directories(host(kRenamed));
  };
  const std::string suffixed = std::string(kRenamed) + " 1";
  const std::string shrunk = " The selected partition extent decreased by 4194304 bytes during filesystem conversion "
                             "(30000000000 \u2192 29995805696 bytes), with the same start and unchanged sibling "
                             "partition records.";
  const auto diskutilFault = [](sim::WorldToolFaultKind kind, std::optional<std::int64_t> status, const char* verb) {
    return [=](sim::WorldRecord& w) { w.tools.faults = {{sim::WorldTool::diskutil, kind, status, std::nullopt, verb}}; };
  };
  const std::string stopped = "Rescue Drive creation stopped; no broader erase was attempted.";
  const std::string unsafe = "The selected target disk is not safe to erase: ";
  const std::vector<Case> cases{
      {"whole disk", "usb-32g-gpt", "", {}, kWholeDiskSuccess, "", true, kRenamed},
      // A folder left at the name makes macOS mount at the next one.
      {"whole disk, name taken", "usb-32g-gpt", "", [&](sim::WorldRecord&) { fs::create_directories(host(kRenamed)); },
       kWholeDiskSuccess, "", true, suffixed},
      {"format killed", "usb-64g-two-partitions", "s2", diskutilFault(sim::WorldToolFaultKind::signal, 9, "eraseVolume"),
       stopped, "The selected destination could not be formatted. No wider erase was attempted.\n(signal 9)", false},
      {"format prints garbage", "usb-64g-two-partitions", "s2",
       diskutilFault(sim::WorldToolFaultKind::malformed, std::nullopt, "eraseVolume"), stopped,
       unsafe + "Destination verification stopped: The selected partition is not a verified HFS installer volume.",
       false},
      // An HFS volume from before is mounted on the disk: it is not the one new partition a format makes.
      {"whole-disk format prints garbage", "usb-64g-two-partitions", "",
       [&](sim::WorldRecord& w) {
         diskutilFault(sim::WorldToolFaultKind::malformed, std::nullopt, "eraseDisk")(w);
         sim::WorldPartition& spare = w.disks.disks.back().partitions.back();
         spare.mountPoint = "/Volumes/" + spare.volumeName;
         fs::create_directories(host(*spare.mountPoint));
       },
       stopped, unsafe + "The freshly formatted whole-disk destination could not be uniquely resolved. ", false},
      {"converted partition", "usb-64g-two-partitions", "s2", {}, kPartitionSuccess, "", true, kRenamed},
      {"converted partition, name taken", "usb-64g-two-partitions", "s2", takeRenamedPath, kPartitionSuccess, "",
       true, suffixed},
      {"existing HFS partition", "usb-64g-two-partitions", "s3", {}, kPartitionSuccess, "", false, kRenamed},
      {"shrunk partition", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.disks.conversionShrinkBytes = 4194304; }, kPartitionSuccess + shrunk, "", true,
       kRenamed},
      {"tool renames without copying", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.installers.mediaTool->skipCopy = true; }, stopped,
       "Apple's tool returned success, but the copied installer application could not be verified on the selected "
       "volume. The drive has not been declared ready.", true, kRenamed},
      {"tool fails at a step", "usb-64g-two-partitions", "s2",
       [](sim::WorldRecord& w) { w.installers.mediaTool->failAtStep = "makingBootable"; }, stopped,
       "Apple\u2019s createinstallmedia did not complete successfully. The selected destination may be erased or "
       "incomplete. No broader erase, resize or fallback was attempted.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string disk = plugIn(c.preset);
    edit([&](sim::WorldRecord& w) {
      w.disks.queries.clear();
      if (c.arrange) c.arrange(w);
    });
    const std::string target = disk + c.partition;  // a whole disk is erased as such
    const json destination = row(target, c.partition.empty() ? "wholeDisk" : "partition");
    auto before = disks();
    const json started = start(destination);
    ASSERT_TRUE(started.value("accepted", false)) << started.dump();
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
    for (const std::string& query : after.queries) {
      EXPECT_TRUE(!query.starts_with("erase") || query.ends_with("/dev/" + target)) << query;
    }
    EXPECT_EQ(erased(target), c.formats);
    if (!c.formats && !c.error.empty()) {
      EXPECT_EQ(after.findDisk(disk)->partitions, before.findDisk(disk)->partitions);
    }
    const sim::WorldPartition& volume =
        c.partition.empty() ? after.findDisk(disk)->partitions.back() : *after.findPartition(target).second;
    EXPECT_EQ(installerOn(volume.mountPoint.value_or("/none")), c.error.empty());
    if (c.mountedAt) {
      EXPECT_EQ(volume.mountPoint, c.mountedAt);
      EXPECT_EQ(volume.volumeName, "Install macOS Sequoia");
    }
    if (!c.partition.empty()) {
      for (const sim::WorldPartition& sibling : before.findDisk(disk)->partitions) {
        if (sibling.identifier != target) {
          EXPECT_EQ(partition(sibling.identifier), sibling);
        }
      }
    }
    edit([](sim::WorldRecord& w) {
      w.disks.conversionShrinkBytes.reset();
      w.installers.mediaTool = sim::WorldMediaTool{};
      w.tools.faults.clear();
    });
    // Unplugged again: every inventory reads every disk, so a world that kept them all
    // would make each case slower than the last.
    change({"disk", "remove", disk});
    fs::remove_all(host(kRenamed));
  }
}

// Refusals before anything is written: the capacity rule and a scope confirmed (or typed into
// the client) for another row; an unknown operation as the client shows it.
TEST_F(RescueCreationSimulatorTest, RefusalsComeBeforeAnyErase) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  change({"disk", "set", disk + "s2", "size=16000000000"});
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
  const ProgramResult mistyped = ctl(clientStart(disk + "s2"), "wholeDisk\n");
  EXPECT_EQ(mistyped.exitCode, 4);
  EXPECT_EQ(mistyped.standardOutput, wrongScope.value("message", "") + "\n");

  const json started = start(partitionRow);
  const json done = finish(started.at("operationID"));
  EXPECT_EQ(done.at("phase"), "failed");
  EXPECT_EQ(done.at("errorMessage"),
            "The selected destination has 16000000000 bytes capacity; this installer's conservative requirement is " +
                std::to_string(15000000000 + 1073741824) +
                " bytes including filesystem headroom. Nothing was erased. Choose a larger partition or disk; no "
                "automatic resizing is performed.");
  EXPECT_FALSE(erased(disk + "s2"));

  json overlong = partitionRow;
  overlong["mediaName"] = std::string(300, 'x');
  EXPECT_EQ(start(overlong), json({{"accepted", false}, {"message", "Invalid Rescue Drive start request."}}));

  const ProgramResult shown = ctl({"rescue", "status", "NO-SUCH-OPERATION"});
  EXPECT_EQ(shown.exitCode, 4);
  EXPECT_TRUE(shown.standardOutput.ends_with("failed: Rescue Drive operation was not found.\nUnknown operation.\n"))
      << shown.standardOutput;
}

// The live progress follows the tool step by step (the tool waits at a gate file before
// each step); polling status runs no tool; the sibling macOS tries to auto-mount after the
// format, and again while verification is held at its first query, is refused while an
// unrelated stick mounts, and the creation succeeds; a local-installer scan is refused
// meanwhile. `rescue watch` on a pseudo-terminal of 80 columns redraws one line cut to the
// width, and nothing scrolls until the final text.
TEST_F(RescueCreationSimulatorTest, LiveProgressFollowsTheToolAndSiblingsStayUnmounted) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  const std::string other = plugIn("usb-32g-gpt");
  change({"disk", "unmount", other + "s2"});
  edit([](sim::WorldRecord& w) { w.installers.mediaTool->stepGate = true; });
  const std::string id = start(row(disk + "s2", "partition")).at("operationID");
  int master = -1;
  int terminal = -1;
  winsize size{24, 80, 0, 0};  // rows, columns
  ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, &size), 0);
  const std::string watch = "exec '" TIDEWARDEN_CTL_PATH "' --socket '" + socket() + "' rescue watch " + id;
  const pid_t watcher = ::fork();
  if (watcher == 0 && ::setsid() > 0 && ::ioctl(terminal, TIOCSCTTY, 0) == 0 && ::dup2(terminal, 1) == 1) {
    ::execl("/bin/sh", "sh", "-c", watch.c_str(), static_cast<char*>(nullptr));
  }
  if (watcher == 0) ::_exit(127);
  ::close(terminal);
  std::string seen;
  // Reads what the client writes until `count` redraws (each one escape sequence) were read, or it ends.
  const auto readUntil = [&](long count) {
    char chunk[4096];
    for (ssize_t got = 1; got > 0 && std::count(seen.begin(), seen.end(), '\033') < count;) {
      got = ::read(master, chunk, sizeof chunk);
      seen.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
  };

  const json erasing = awaitStatus(id, [](const json& s) { return s.at("liveProgress").at("step") == "erasing"; });
  ASSERT_EQ(erasing.at("phase"), "creatingInstaller") << erasing.dump();
  EXPECT_EQ(erasing.at("progressPercent"), 20);
  readUntil(3);
  // A local-installer scan is refused while the creation runs.
  EXPECT_EQ(call("scanPreparedInstallers:withReply:", json::object()).at("warnings"),
            json::array({"Rescue Drive creation is still running. The source installer cannot be removed yet."}));
  const auto queries = disks().queries;
  for (int i = 0; i < 5; ++i) status(id);
  EXPECT_EQ(disks().queries, queries);

  change({"disk", "mount", other + "s2"});
  fs::create_directories(mac() + "/" + sim::kMediaToolGateFolder);
  for (const std::string step : {"essentialFiles", "recoveryFiles", "makingBootable", "copyingInstaller"}) {
    std::ofstream(mac() + "/" + sim::kMediaToolGateFolder + "/" + step).close();
    const json seen = awaitStatus(id, [&](const json& s) { return s.at("liveProgress").at("step") == step; });
    EXPECT_EQ(seen.at("liveProgress").at("step"), step);
  }
  change({"disk", "hold-query"});  // verification waits at its first query
  std::ofstream(mac() + "/" + sim::kMediaToolGateFolder + "/done").close();
  ASSERT_EQ(awaitStatus(id, [](const json& s) { return s.at("phase") == "verifying"; }).at("phase"), "verifying");
  const std::size_t answered = disks().mountOutcomes.size();
  change({"disk", "mount", disk + "s3"});
  for (const auto end = Steady::now() + kClientBound; disks().mountOutcomes.size() == answered && Steady::now() < end;) {
    usleep(20000);
  }
  openGate(sim::kQueryGateFile);
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

  readUntil(std::numeric_limits<long>::max());
  ::close(master);
  int status = 0;
  ASSERT_EQ(::waitpid(watcher, &status, 0), watcher);
  EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
  const std::string live = seen.substr(0, seen.find("finished: "));
  EXPECT_EQ(std::count(live.begin(), live.end(), '\n'), 1) << live;  // the one before the final text
  for (std::size_t at = live.find("\r\033[K"); at != std::string::npos; at = live.find("\r\033[K", at + 1)) {
    const std::string line = live.substr(at + 4, live.find('\r', at + 1) - at - 4);
    EXPECT_LT(std::count_if(line.begin(), line.end(), [](unsigned char c) { return (c & 0xC0) != 0x80; }), 80) << line;
  }
}

// A helper killed while Apple's tool (which leaves a worker in its process group) or a hung
// format runs keeps nothing in memory and leaves nothing running: after its restart the
// operation is unknown (the whole reply, never a success), no tool of the old helper runs,
// the sibling is untouched, and a new creation, started by the client, finishes (a fresh
// review of the half-made volume uses the HFS volume as it is). A tool record the restarted
// helper cannot read stops creations while its group runs.
TEST_F(RescueCreationSimulatorTest, AKilledHelperLeavesNoToolRunningAndANewCreationFinishes) {
  struct Case {
    std::string name;
    std::vector<std::string> arrange, undo;  // world verbs
    std::string runningStep;
    bool erasedAgain;
  };
  const std::vector<Case> cases{
      {"createinstallmedia", {"installer", "media-tool", "--step-gate", "on"}, {"installer", "media-tool"}, "erasing", false},
      {"eraseVolume", {"disk", "erase-hangs", "on"}, {"disk", "erase-hangs", "off"}, "formatting", true},
  };
  // The processes running one of the simulated Mac's programs (zombies have no executable).
  auto survivors = [&] {
    std::vector<std::string> found;
    for (const auto& process : fs::directory_iterator("/proc")) {
      std::error_code error;
      const std::string exe = fs::read_symlink(process.path() / "exe", error).string();
      if (!error && exe.starts_with(host("/"))) found.push_back(process.path().filename().string() + " " + exe);
    }
    return found;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string disk = plugIn("usb-64g-two-partitions");
    const sim::WorldPartition sibling = partition(disk + "s3");
    change(c.arrange);
    const std::string id = start(row(disk + "s2", "partition")).at("operationID");
    const json running = awaitStatus(id, [&](const json& s) {
      return s.at("liveProgress").at("step") == c.runningStep && s.at("liveProgress").at("commandRunning") == true;
    });
    ASSERT_EQ(running.at("liveProgress").at("step"), c.runningStep) << running.dump();

    ASSERT_TRUE(kill());
    ASSERT_TRUE(serve());
    EXPECT_EQ(survivors(), std::vector<std::string>{});
    EXPECT_EQ(status(id), json({{"operationID", id}, {"phase", "failed"}, {"progressPercent", 0},
                                {"message", "Rescue Drive operation was not found."}, {"finished", true},
                                {"success", false}, {"errorMessage", "Unknown operation."}}));
    EXPECT_EQ(partition(disk + "s3"), sibling);

    change(c.undo);
    edit([](sim::WorldRecord& w) { w.disks.queries.clear(); });
    // Through the client this time: it builds the row, takes the scope typed again and follows
    // the creation in plain lines (not a terminal: never a redrawn bar).
    const ProgramResult created = ctl(clientStart(disk + "s2"), "partition\n");
    EXPECT_EQ(created.exitCode, 0) << created.standardOutput << created.standardError;
    EXPECT_TRUE(created.standardOutput.starts_with("Checking the reviewed destination before erasing anything\u2026\n"
                                                   "operation "))
        << created.standardOutput;
    EXPECT_EQ(created.standardOutput.find('\r'), std::string::npos);
    EXPECT_TRUE(created.standardOutput.ends_with(std::string("finished: ") + kPartitionSuccess + "\n"));
    EXPECT_EQ(erased(disk + "s2"), c.erasedAgain);
    EXPECT_FALSE(erased(disk));
    EXPECT_TRUE(installerOn(*partition(disk + "s2").mountPoint));
    EXPECT_EQ(partition(disk + "s3"), sibling);
  }

  // A record whose leader's pid belongs to a process started at another time ends nothing;
  // an unreadable one naming this test's own process group, which runs, stops creations.
  const pid_t holder = ::fork();
  if (holder == 0) {
    ::setpgid(0, 0);
    ::pause();
    ::_exit(0);
  }
  ::setpgid(holder, holder);
  std::ifstream statFile("/proc/" + std::to_string(holder) + "/stat");
  const std::string stat{std::istreambuf_iterator<char>(statFile), {}};
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  const std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
  std::string boot;
  std::ifstream("/proc/sys/kernel/random/boot_id") >> boot;
  const std::string reused = host(platform::ToolGroups::kDirectory) + "/" + std::to_string(holder) + ".group";
  std::ofstream(reused) << platform::ToolGroupRecord{boot, holder, std::stoull(field.at(19)) - 1, "/bin/ps"}.text().value();
  const std::string record = host(platform::ToolGroups::kDirectory) + "/" + std::to_string(::getpgrp()) + ".group";
  std::ofstream(record) << "not a record\n";
  ASSERT_TRUE(kill());
  ASSERT_TRUE(serve());
  EXPECT_EQ(::waitpid(holder, nullptr, WNOHANG), 0) << "a process whose pid a record named was ended";
  EXPECT_FALSE(fs::exists(reused));
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  const std::string disk = plugIn("usb-32g-gpt");
  const json refused = start(row(disk, "wholeDisk"));
  EXPECT_EQ(refused.at("message"), platform::ToolGroups::kDoubtMessage);
  EXPECT_FALSE(erased(disk));
  fs::remove(record);
  EXPECT_EQ(start(row(disk, "wholeDisk")).at("accepted"), true);
}

// What changed after the checks is never written: an installer not protected from other
// accounts is refused before any erase; a tool replaced, a whole disk swapped or an existing
// HFS target made read-only while its format or mount is held at the erase gate stops the
// creation before Apple's tool runs, with nothing erased beyond the approved target.
TEST_F(RescueCreationSimulatorTest, WhatChangedAfterTheChecksIsNeverWritten) {
  struct Case {
    std::string name;
    std::string partition;  // suffix of the selected partition; empty: the whole disk
    std::function<void(const std::string& disk)> change;
    bool held;  // made while the format or mount waits at the gate; otherwise before the start
    std::string error;
  };
  const std::string invalid = "The selected macOS installer is not valid: ";
  const std::string unprotected = invalid +
      "The installer is redirected, mounted separately, or does not have protected administrator ownership/permissions. "
      "Its permissions were not changed.";
  const std::string unsafe = "The selected target disk is not safe to erase: ";
  const std::string app = host(kApp);
  const std::vector<Case> cases{
      {"whole disk swapped during its erase", "",
       [&](const std::string& disk) { change({"disk", "set", disk, "media-name=SWAPPED"}); }, true,
       unsafe + "Destination verification stopped: The physical parent identity changed."},
      // Mounted only: nothing is erased.
      {"HFS target made read-only during its mount", "s3",
       [&](const std::string& disk) { change({"disk", "set", disk + "s3", "writable=false"}); }, true,
       unsafe + "The partition's physical write status"},
      // The bundle is not restored after the rows from here.
      {"tool replaced during the format", "s2",
       [&](auto&) {
         const std::string tool = app + "/Contents/Resources/createinstallmedia";
         fs::rename(tool, tool + ".checked");
         std::ofstream(tool) << "#!/bin/sh\nexit 0\n";
         fs::permissions(tool, fs::perms(0755));
       },
       true, invalid + "Apple\u2019s createinstallmedia changed after it was checked. It was not started."},
      // Refused before the signature (which the replaced tool now fails) is looked at.
      {"bundle owned by another account", "s2", [&](auto&) { ASSERT_EQ(::chown(app.c_str(), 501, -1), 0); }, false,
       unprotected},
      {"Resources group-writable", "s2",
       [&](auto&) {
         ASSERT_EQ(::chown(app.c_str(), 0, -1), 0);
         fs::permissions(app + "/Contents/Resources", fs::perms(0775));
       },
       false, unprotected},
  };
  change({"disk", "erase-hangs", "gate"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string disk = plugIn("usb-64g-two-partitions");
    const json destination = row(disk + c.partition, c.partition.empty() ? "wholeDisk" : "partition");
    edit([](sim::WorldRecord& w) { w.disks.queries.clear(); });
    if (!c.held) c.change(disk);
    const std::string id = start(destination).at("operationID");
    if (c.held) {
      ASSERT_EQ(awaitRunning(id, "formatting").at("liveProgress").at("commandRunning"), true);
      c.change(disk);
      openGate(sim::kEraseGateFile);
    }
    const json done = finish(id);
    EXPECT_EQ(done.at("phase"), "failed");
    EXPECT_TRUE(done.value("errorMessage", "").starts_with(c.error)) << done.dump();
    EXPECT_EQ(erased(disk + c.partition), c.held && c.partition != "s3");
    for (const std::string& query : disks().queries) {
      EXPECT_TRUE(!query.starts_with("erase") || query.ends_with("/dev/" + disk + c.partition)) << query;
    }
    EXPECT_FALSE(exists(kRenamed));  // Apple's tool would have renamed the volume
    fs::remove(mac() + "/" + sim::kEraseGateFile);
    change({"disk", "remove", disk});
  }
}

// A cancel accepted while verification is held at its first diskutil query ends the
// creation cancelled, never in success.
TEST_F(RescueCreationSimulatorTest, ACancelDuringVerificationEndsCancelled) {
  const std::string disk = plugIn("usb-64g-two-partitions");
  change({"installer", "media-tool", "--step-gate", "on"});
  const std::string id = start(row(disk + "s2", "partition")).at("operationID");
  awaitStatus(id, [](const json& s) { return s.at("liveProgress").at("step") == "erasing"; });
  change({"disk", "hold-query"});
  openToolGates();
  ASSERT_EQ(awaitStatus(id, [](const json& s) { return s.at("phase") == "verifying"; }).at("phase"), "verifying");
  cancel(id);
  openGate(sim::kQueryGateFile);
  const json done = finish(id);
  EXPECT_EQ(done.at("phase"), "cancelled") << done.dump();
  EXPECT_EQ(done.at("errorMessage"), kCancelledError);
}

// A command that does not end: a hung diskutil query or mount of an existing HFS partition
// ends within its limit (15 s, 30 s) and a few seconds; a cancel terminates a hung mount,
// format or createinstallmedia at once (a second start is refused meanwhile; cancelling the
// finished operation changes nothing). A new start is accepted afterwards.
TEST_F(RescueCreationSimulatorTest, AHungCommandEndsAtItsLimitOrWhenCancelled) {
  struct Case {
    std::string name;
    std::vector<std::string> arrange;  // a world verb
    std::string partition;
    std::string runningStep;  // where a cancel comes; empty: none
    int limitSeconds;
    std::string error;
  };
  const std::vector<std::string> hungMount{"tool-fault", "diskutil", "hang", "--only", "mount"};
  const std::vector<Case> cases{
      {"query", {"tool-fault", "diskutil", "hang", "--only", "list"}, "s3", "", 15,
       "diskutil list -plist external physical failed or returned incomplete metadata (exit 15, timeout true)"},
      {"mount", hungMount, "s3", "", 30,
       "The selected HFS partition could not be mounted. No format was attempted. (no answer within its time limit; "
       "the command was stopped)"},
      {"mount, cancelled", hungMount, "s3", "formatting", 0, kCancelledError},
      {"format, cancelled", {"disk", "erase-hangs", "on"}, "s2", "formatting", 0, kCancelledError},
      {"createinstallmedia, cancelled", {"installer", "media-tool", "--hang-at", "essentialFiles"}, "s2",
       "essentialFiles", 0, kCancelledError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string disk = plugIn("usb-64g-two-partitions");
    const json destination = row(disk + c.partition, "partition");
    change(c.arrange);
    const auto began = Steady::now();
    const std::string id = start(destination).at("operationID");
    if (!c.runningStep.empty()) {
      ASSERT_EQ(awaitRunning(id, c.runningStep).at("liveProgress").at("step"), c.runningStep);
      EXPECT_EQ(start(destination).at("message"), "Another Rescue Drive operation is already running.");
      EXPECT_EQ(cancel(id).at("message"),
                "Cancellation requested. Waiting for the current command to stop; any already-erased data cannot be "
                "restored.");
    }
    const json done = finish(id);
    EXPECT_LT(Steady::now() - began, std::chrono::seconds(c.limitSeconds + 10));
    EXPECT_EQ(done.value("errorMessage", ""), c.error) << done.dump();
    if (!c.runningStep.empty()) {
      EXPECT_EQ(done.at("phase"), "cancelled");
      EXPECT_EQ(done.at("message"), "Creation stopped. No further erase or copy was started.");
      EXPECT_EQ(done.at("liveProgress").at("step"), c.runningStep);
      json again = cancel(id);
      json expected = done;
      again.erase("liveProgress");
      expected.erase("liveProgress");
      EXPECT_EQ(again, expected);
    }
    change({"clear-tool-faults"});
    change({"disk", "erase-hangs", "off"});
    change({"installer", "media-tool"});
    const json next = start(destination);
    ASSERT_TRUE(next.value("accepted", false)) << next.dump();
    cancel(next.at("operationID"));
    finish(next.at("operationID"));
    change({"disk", "remove", disk});
  }
}

// 40 creations (each stopped at the installer check) leave the 16 most recent finished ones.
TEST_F(RescueCreationSimulatorTest, OnlyTheSixteenMostRecentFinishedOperationsAreKept) {
  const json destination = row(plugIn("usb-64g-two-partitions") + "s2", "partition");
  ASSERT_EQ(::chown(host(kApp).c_str(), 501, -1), 0);
  std::vector<std::string> ids;
  for (int i = 0; i < 40; ++i) {
    ids.push_back(start(destination).at("operationID"));
    finish(ids.back());
  }
  EXPECT_EQ(status(ids[23]).at("message"), "Rescue Drive operation was not found.");
  EXPECT_EQ(status(ids[24]).at("message"), "Rescue Drive creation stopped; no broader erase was attempted.");
}

}  // namespace
}  // namespace tidewarden::testing
