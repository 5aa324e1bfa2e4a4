// Preparation storage on a real temporary root: the gate and its lock, the private
// root, workspaces and manifests, the tree snapshot, cleanup, inventory and preflight.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/byte_count_text.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "storage/activity_evidence.h"
#include "storage/installer_safety_error.h"
#include "storage/preparation_cleanup.h"
#include "storage/preparation_inventory.h"
#include "storage/preparation_preflight.h"
#include "storage/preparation_storage_gate.h"
#include "storage/preparation_tree_snapshot.h"
#include "support/preparation_root.h"
#include "support/signing_fixture.h"
#include "support/test_platform.h"

namespace tidewarden::storage {
namespace {

namespace fs = std::filesystem;

const std::string kRoot = "/private/var/tmp/com.ambergrove.Tidewarden/InstallAssistant";
const std::string kEarlier = "Earlier preparation storage remains at " + kRoot + "/";
const std::string kID = "0F1E2D3C-4B5A-4968-8776-655443322110";

const auto refusal = [](auto&& action) { return testing::storageRefusal(action); };

struct stat statOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

mode_t permissionsOf(const std::string& path) { return statOf(path).st_mode & 07777; }

class PreparationStorageTest : public ::testing::Test {
 protected:
  PreparationStorageTest() {
    fs::create_directories(host("/private/var/tmp"));
    ::chmod(host("/private/var/tmp").c_str(), 01777);
    installTools(/*lsofExit=*/1, /*hdiutilImages=*/"");
  }

  std::string host(const std::string& logical) const { return test.rootPath() + logical; }
  const platform::Platform& platform() { return test.platform(); }

  // Simulated lsof, ps and hdiutil beneath the root: lsof exits `lsofExit` with no
  // output (1: nothing open), ps lists launchd only, hdiutil lists `hdiutilImages`.
  void installTools(int lsofExit, const std::string& hdiutilImages) {
    testing::writeToolScript(test.rootPath(), "/usr/sbin/lsof", "exit " + std::to_string(lsofExit));
    testing::writeToolScript(test.rootPath(), "/bin/ps", "echo /sbin/launchd");
    testing::writeToolScript(test.rootPath(), "/usr/bin/hdiutil", testing::attachedImagesScript(hdiutilImages));
  }
  // Why the gate does not open now, or "".
  std::string gateRefusal() { return refusal([&] { PreparationStorageGate::open(platform()); }); }
  std::string leaveWorkspace(const std::string& id, int files = 2) {
    return testing::leavePreparationWorkspace(test.rootPath(), id, files);
  }
  // The operation's own cleanup of workspace kID, with `between` run after its snapshot.
  InstallerPreparationCleanupReport cleanUp(const std::function<void()>& between = [] {}) {
    PreparationStorageGate gate = PreparationStorageGate::open(platform());
    const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get(), test.fileFlags);
    between();
    return removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
  }

  testing::TestPlatform test;
  const std::string base = host("/private/var/tmp/com.ambergrove.Tidewarden");
};

// The caller, the base, the lock or the root in an unsafe shape, or a gate held elsewhere:
// refused at once, nothing followed or repaired. Once undone, the gate opens and makes
// its lock and root private.
TEST_F(PreparationStorageTest, GateRefusesEachUnsafeShapeAndOpensOnceItIsUndone) {
  const std::string lock = base + "/.preparation-operation.lock";
  const std::string target = host("/private/var/tmp/elsewhere");
  const std::string unsafeLock = "The preparation-operation lock has unsafe ownership, permissions or links.";
  const auto loose = [](const std::string& name) {
    return "Preparation directory " + name +
           " does not have the required root ownership and safe permissions. Its permissions were not silently "
           "changed.";
  };
  std::optional<PreparationStorageGate> first;
  struct Case {
    std::function<void()> make;
    std::string refusal;
    std::function<void()> expectUnchanged = [] {};
  };
  const Case cases[] = {
      {[&] { fs::create_symlink(target, lock); }, unsafeLock,
       [&] { EXPECT_FALSE(fs::exists(target) || fs::exists(host(kRoot))); }},  // O_CREAT never went through the link
      {[&] {
         testing::writeFileBytes(target, "", 0600);
         fs::create_hard_link(target, lock);
       },
       unsafeLock},
      {[&] { testing::writeFileBytes(lock, "", 0644); }, unsafeLock, [&] { EXPECT_EQ(permissionsOf(lock), 0644u); }},
      // The base only needs to be closed to writers (every row starts with it at 0755).
      {[&] { ::chmod(base.c_str(), 0777); }, loose("com.ambergrove.Tidewarden"),
       [&] { EXPECT_EQ(permissionsOf(base), 0777u); }},
      {[&] {
         fs::create_directory(host(kRoot));
         ::chmod(host(kRoot).c_str(), 0755);
       },
       loose("InstallAssistant"), [&] { EXPECT_EQ(permissionsOf(host(kRoot)), 0755u); }},
      {[&] { test.facts.euid = 501; }, "Preparation storage requires the administrator helper."},
      {[&] { first.emplace(PreparationStorageGate::open(platform())); }, kPreparationOperationBusy},
  };
  for (const Case& c : cases) {
    fs::remove_all(base);
    fs::create_directory(base);
    ::chmod(base.c_str(), 0755);
    c.make();
    EXPECT_EQ(gateRefusal(), c.refusal);
    c.expectUnchanged();
    first.reset();
    test.facts.euid = 0;
    fs::remove_all(base);
    fs::remove(target);
    EXPECT_EQ(gateRefusal(), "") << c.refusal;
    EXPECT_EQ(std::tuple(permissionsOf(lock), permissionsOf(host(kRoot))), std::tuple(0600u, 0700u));
  }
}

TEST_F(PreparationStorageTest, AnyEntryInTheRootBlocksANewWorkspace) {
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  fs::create_directory(host(kRoot + "/leftover"));
  const std::string blocked = kEarlier +
                              "leftover. No new workspace was created. Open Installer storage \u2192 Check Downloads, "
                              "review the old workspace and remove it first.";
  EXPECT_EQ(refusal([&] { gate.createWorkspace("15.1", "24B83", "installer"); }), blocked);
  EXPECT_EQ(std::distance(fs::directory_iterator(host(kRoot)), fs::directory_iterator()), 1);
  fs::remove(host(kRoot + "/leftover"));

  test.clock.wall = 750000000.5;
  PreparationWorkspace workspace = gate.createWorkspace("15.1", "24B83", "installer");
  const std::string manifestPath = host(kRoot + "/" + workspace.id() + "/operation.json");
  EXPECT_EQ(permissionsOf(host(kRoot + "/" + workspace.id())), 0700u);
  EXPECT_EQ(permissionsOf(manifestPath), 0600u);
  const ino_t inode = statOf(manifestPath).st_ino;
  workspace.recordPhase("extracting installer");
  EXPECT_EQ(statOf(manifestPath).st_ino, inode);  // rewritten in place, never renamed
  const auto manifest = platform::json::decodeDocument<PreparationManifest>(testing::readFileBytes(manifestPath));
  EXPECT_EQ(manifest, (PreparationManifest{1, workspace.id(), "15.1", "24B83", "installer",
                                           platform::json::Date{750000000.5}, "extracting installer"}));
}

TEST_F(PreparationStorageTest, ContentsAndManifestMustMatchTheirWorkspace) {
  const std::string workspace = leaveWorkspace(kID);
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const auto validate = [&] {
    return refusal([&] { validateWorkspaceContents(platform(), gate.openWorkspace(kID).get(), kID, true); });
  };
  EXPECT_EQ(validate(), "");

  const std::string good = testing::readFileBytes(workspace + "/operation.json");
  for (const std::string& manifest : std::vector<std::string>{
           R"({"schema":1,"operationID":"11111111-2222-4333-8444-555555555555","version":"","build":"","purpose":"installer","createdAt":1,"phase":"created"})",
        R"({"schema":1,"operationID":")" + kID + R"(","version":"","build":"","purpose":"other","createdAt":1,"phase":"created"})",
        R"({"schema":1,"operationID":")" + kID + R"(","version":"","build":"","purpose":"installer","phase":"created"})"}) {
    testing::writeFileBytes(workspace + "/operation.json", manifest);
    EXPECT_EQ(validate(), kManifestDoesNotMatch) << manifest;
  }
  testing::writeFileBytes(workspace + "/operation.json", good);
  EXPECT_EQ(validate(), "");

  testing::writeFileBytes(workspace + "/notes.txt", "mine");
  EXPECT_EQ(validate(), kUnexpectedWorkspaceEntries);
  EXPECT_TRUE(fs::exists(workspace + "/notes.txt"));

  EXPECT_EQ(refusal([&] { gate.openWorkspace("0f1e2d3c-4b5a-4968-8776-655443322110"); }),
            "Invalid preparation workspace identifier.");
}

TEST_F(PreparationStorageTest, SymbolicLinkInsideIsMeasuredAndRemovedWithTheWorkspace) {
  const std::string workspace = leaveWorkspace(kID, 3);
  const std::string outside = host("/private/var/tmp/keep-me");
  testing::writeFileBytes(outside, "not ours");
  fs::create_symlink(outside, workspace + "/Expanded/Install macOS Sequoia.app/Contents/Outside");
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get(), test.fileFlags);
  ASSERT_TRUE(snapshot.complete);
  // Every entry once, in order, the links as links.
  const std::string app = "Expanded/Install macOS Sequoia.app/Contents/";
  ASSERT_EQ(snapshot.entries.size(), 10u);
  EXPECT_EQ(std::tuple(snapshot.entries[3].relativePath, snapshot.entries[4].relativePath,
                       snapshot.entries[8].relativePath, snapshot.entries[9].relativePath),
            std::tuple(app + "Frameworks", app + "Outside", app + "Resources/file-2", "operation.json"));
  EXPECT_EQ(snapshot.entries[3].mode & S_IFMT, static_cast<std::uint32_t>(S_IFLNK));
  EXPECT_GE(snapshot.logicalBytes, 3 * 4096);

  const auto report = removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
  EXPECT_EQ(std::tuple(report.verified, report.issues, report.allocatedBytesBefore, report.workspacePath),
            std::tuple(true, std::vector<std::string>{}, snapshot.allocatedBytes, std::nullopt));
  EXPECT_FALSE(fs::exists(workspace));
  EXPECT_FALSE(fs::exists(host(kRoot)));  // the emptied root goes too, the gate's lock stays
  EXPECT_TRUE(fs::exists(base + "/.preparation-operation.lock"));
  EXPECT_TRUE(cleanupSummary(report).starts_with(
      "Preparation workspace removal verified. Temporary allocation before removal: "));
}

TEST_F(PreparationStorageTest, NamesOfOneFileAllInsideTheWorkspaceGoInOneCleanup) {
  const std::string workspace = leaveWorkspace(kID, 4);
  const std::string resources = workspace + "/Expanded/Install macOS Sequoia.app/Contents/Resources";
  // Four linked pairs: two names beside each other, and two in different folders.
  for (int i = 0; i < 4; ++i) {
    const std::string partner = i % 2 ? resources + "/link-" : workspace + "/Expanded/link-";
    ASSERT_EQ(::link((resources + "/file-" + std::to_string(i)).c_str(), (partner + std::to_string(i)).c_str()), 0);
  }
  const auto report = cleanUp();
  EXPECT_TRUE(report.verified) << (report.issues.empty() ? "" : report.issues[0]);
  EXPECT_FALSE(fs::exists(workspace));
}

// A change after the snapshot stops the cleanup, which says what it kept: a new entry, or
// a third name, outside the tree, of a file whose two names were both inside.
TEST_F(PreparationStorageTest, AChangeAfterTheSnapshotStopsTheCleanupWhichSaysWhatIsKept) {
  const std::string path = kRoot + "/" + kID;
  const std::string file = path + "/Expanded/Install macOS Sequoia.app/Contents/Resources/file-0";
  const std::string outside = host("/private/var/tmp/outside");
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { testing::writeFileBytes(host(path + "/PayloadMetadata"), "late"); },
       "A new preparation entry appeared: " + path + "/PayloadMetadata. Cleanup stopped."},
      {[&] { ASSERT_EQ(::link(host(file).c_str(), outside.c_str()), 0); },
       "Preparation file changed before deletion: " + file}};
  for (const auto& [change, issue] : cases) {
    leaveWorkspace(kID, 1);
    ASSERT_EQ(::link(host(file).c_str(), host(path + "/Expanded/link").c_str()), 0);
    const auto report = cleanUp(change);
    EXPECT_EQ(std::tuple(report.verified, report.issues, report.workspacePath),
              std::tuple(false, std::vector{issue}, path));
    EXPECT_TRUE(fs::exists(host(path + "/operation.json")));
    EXPECT_EQ(cleanupSummary(report), "Preparation storage could not be completely removed. Kept at " + path +
                                          ". Remaining allocation: " +
                                          platform::fileByteCountText(*report.remainingAllocatedBytes) + ". " +
                                          issue + " Check Downloads & Preparation Files before another attempt.");
    fs::remove_all(host(path));
  }
  EXPECT_TRUE(fs::exists(outside));
}

// Root's immutable and append-only flags are cleared just before their entry goes, a
// directory's before its contents (the fake refuses removals as a Mac does); hidden is
// left alone. Someone else's flagged entry, or a system flag, stops the cleanup there.
TEST_F(PreparationStorageTest, OnlyRootsUserFlagsAreClearedForTheRemoval) {
  const std::string file = kRoot + "/" + kID + "/Expanded/Install macOS Sequoia.app/Contents/Resources/file-0";
  const std::tuple<std::uint32_t, uid_t, std::string> cases[] = {
      {platform::kFlagUserImmutable | platform::kFlagHidden, 0, ""},
      {platform::kFlagUserImmutable, 501, "Flagged preparation entry is not root-owned: " + file},
      {platform::kFlagSystemImmutable, 0,
       "Preparation entry " + file + " carries the file flags schg, which cannot be cleared."},
  };
  for (const auto& [flags, owner, issue] : cases) {
    test.fileFlags.flags.clear();
    const std::string workspace = leaveWorkspace(kID, 2);
    test.fileFlags.set(workspace + "/Expanded", platform::kFlagUserAppend);
    ASSERT_EQ(::lchown(host(file).c_str(), owner, 0), 0);
    test.fileFlags.set(host(file), flags);
    const InstallerPreparationCleanupReport report = cleanUp();
    EXPECT_EQ(report.verified, issue.empty()) << issue;
    EXPECT_EQ(report.issues, issue.empty() ? std::vector<std::string>{} : std::vector<std::string>{issue});
    EXPECT_EQ(fs::exists(host(file)), !issue.empty());
    fs::remove_all(workspace);
  }
}

// The scan approves only an idle workspace it could inspect whole: not one with an image
// mounted inside it (though the image file lies elsewhere), nor one that lsof cannot answer
// for cleanly (never read as "nothing open"), nor one written to while the tools look at
// it, nor one holding a special file. An approval expires after 30 minutes.
TEST_F(PreparationStorageTest, OnlyAnIdleWorkspaceInspectedWholeIsApprovedAndOnlyForHalfAnHour) {
  const std::string workspace = leaveWorkspace(kID);
  const std::string path = kRoot + "/" + kID;
  const std::string fifo = workspace + "/Expanded/progress.fifo";
  using Activity = InstallerDownloadActivity;
  const std::tuple<std::function<void()>, Activity, std::string> cases[] = {
      {[&] {
         installTools(1, "<dict><key>image-path</key><string>/Users/Shared/elsewhere.dmg</string><key>system-entities"
                         "</key><array><dict><key>dev-entry</key><string>/dev/disk5s1</string><key>mount-point</key>"
                         "<string>" + path + "/PayloadMetadata</string></dict></array></dict>");
       },
       Activity::active, "An image is still attached to this workspace."},
      {[&] { installTools(2, ""); }, Activity::unverified, "Preparation activity could not be verified."},
      {[&] {
         testing::writeToolScript(test.rootPath(), "/usr/sbin/lsof",
                                  "echo x >> '" + workspace + "/Expanded/Install macOS Sequoia.app/Contents/Resources/"
                                                              "file-0'; exit 1");
       },
       Activity::unverified, "Preparation contents changed during inspection."},
      {[&] { ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0); }, Activity::unverified,
       "An unexpected special file is present in preparation storage: Expanded/progress.fifo"},
  };
  for (const auto& [change, activity, explanation] : cases) {
    installTools(1, "");
    change();
    const PreparationInventory inventory = inventoryPreparationWorkspaces(platform());
    ASSERT_EQ(inventory.items.size(), 1u);
    EXPECT_EQ(inventory.items[0].activity, activity) << explanation;
    EXPECT_TRUE(inventory.items[0].explanation.starts_with(explanation)) << inventory.items[0].explanation;
    EXPECT_TRUE(inventory.approvals.empty()) << explanation;
  }

  installTools(1, "");
  fs::remove(fifo);
  const PreparationInventory idle = inventoryPreparationWorkspaces(platform());
  ASSERT_EQ(idle.approvals.size(), 1u);
  EXPECT_EQ(std::tuple(idle.items[0].explanation, idle.items[0].path, idle.items[0].source, idle.approvals[0].expiresAt),
            std::tuple(kPreparationIdleExplanation, path, InstallerDownloadSource::tidewardenPreparation,
                       test.clock.wall + 1800));
  test.clock.sleepFor(1801);
  const PreparationRemovalOutcome outcome = removeApprovedPreparationWorkspaces(platform(), idle.approvals);
  EXPECT_EQ(outcome.issues, std::vector<std::string>{kPreparationApprovalExpired});
  EXPECT_TRUE(fs::exists(workspace + "/operation.json"));
}

// A user removal looks at the workspace before and after its 20 s wait: what changes
// during the wait (a new entry, a file written, another process opening a file, an image
// attached from it) keeps it.
TEST_F(PreparationStorageTest, AWorkspaceChangedDuringTheTwentySecondWaitIsKeptWhole) {
  const std::string path = kRoot + "/" + kID;
  const std::string file = host(path + "/Expanded/Install macOS Sequoia.app/Contents/Resources/file-1");
  const std::string changed = path + ": Preparation contents changed after selection. Nothing was removed.";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { testing::writeFileBytes(host(path + "/PayloadMetadata"), "late"); }, changed},
      {[&] { std::ofstream(file, std::ios::app) << "more"; }, changed},
      {[&] { testing::writeToolScript(test.rootPath(), "/usr/sbin/lsof", "printf 'p611\\nf4\\nn" + path + "/a\\n'"); },
       path + ": Another process (PID 611) still has preparation files open. Nothing was removed."},
      {[&] {
         installTools(1, "<dict><key>image-path</key><string>" + path +
                             "/InstallAssistant.pkg</string><key>system-entities</key><array/></dict>");
       },
       path + ": " + kImageAssociatedMessage}};
  for (const auto& [change, issue] : cases) {
    installTools(1, "");
    leaveWorkspace(kID);
    const PreparationInventory inventory = inventoryPreparationWorkspaces(platform());
    ASSERT_EQ(inventory.approvals.size(), 1u);
    std::vector<double> waits;
    test.clock.duringSleep = [&](double seconds) {
      waits.push_back(seconds);
      change();
    };
    const PreparationRemovalOutcome outcome = removeApprovedPreparationWorkspaces(platform(), inventory.approvals);
    EXPECT_EQ(waits, std::vector<double>{20.0});
    EXPECT_EQ(std::tuple(outcome.removedIDs.size(), outcome.issues, outcome.remainingItems.size()),
              std::tuple(0u, std::vector{issue}, 1u));
    EXPECT_TRUE(fs::exists(host(path + "/operation.json")) && fs::exists(file));
    fs::remove_all(host(path));
  }
}

// A cleanup killed before any one of its entries (the child is the helper, gone at once)
// leaves a workspace that the next scan approves and the next removal finishes; what the
// workspace links to outside stays.
TEST_F(PreparationStorageTest, ACleanupKilledAtAnyEntryIsFinishedByTheNextRemoval) {
  constexpr int kKilled = 9;
  const std::string outside = host("/private/var/tmp/keep-me");
  testing::writeFileBytes(outside, "not ours");
  for (std::size_t killAt = 0;; ++killAt) {
    const std::string workspace = leaveWorkspace(kID);
    fs::create_symlink(outside, workspace + "/Expanded/Outside");
    std::optional<PreparationStorageGate> gate(PreparationStorageGate::open(platform()));
    const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate->openWorkspace(kID).get(), test.fileFlags);
    gate.reset();
    if (killAt == snapshot.entries.size()) break;
    SCOPED_TRACE("killed before entry " + std::to_string(killAt) + " of " + std::to_string(snapshot.entries.size()));
    const auto cleanup = [&] {
      PreparationStorageGate held = PreparationStorageGate::open(platform());
      std::size_t seen = 0;
      test.fileFlags.beforeRemoval = [&] {
        if (seen++ == killAt) std::_Exit(kKilled);
      };
      removePreparationWorkspace(held, kID, snapshot, PreparationRemovalRequester::ownOperation);
    };
    EXPECT_EXIT(cleanup(), ::testing::ExitedWithCode(kKilled), "");
    ASSERT_TRUE(fs::exists(workspace));

    const PreparationInventory inventory = inventoryPreparationWorkspaces(platform());
    ASSERT_EQ(inventory.approvals.size(), 1u) << (inventory.items.empty() ? "" : inventory.items[0].explanation);
    const PreparationRemovalOutcome outcome = removeApprovedPreparationWorkspaces(platform(), inventory.approvals);
    EXPECT_EQ(outcome.removedIDs.size(), 1u) << (outcome.issues.empty() ? "" : outcome.issues[0]);
    EXPECT_FALSE(fs::exists(host(kRoot)));
    EXPECT_EQ(testing::readFileBytes(outside), "not ours");
    if (HasFailure()) break;
  }
}

TEST_F(PreparationStorageTest, SeventeenWorkspacesGiveSixteenItemsAndThePartialWarning) {
  for (int i = 10; i < 27; ++i) leaveWorkspace("0F1E2D3C-4B5A-4968-8776-0000000000" + std::to_string(i), 0);
  fs::create_directory(host(kRoot + "/not-a-uuid"));
  const PreparationInventory inventory = inventoryPreparationWorkspaces(platform());
  EXPECT_EQ(std::tuple(inventory.items.size(), inventory.approvals.size(), inventory.complete), std::tuple(16u, 16u, false));
  EXPECT_EQ(inventory.warnings,
            (std::vector<std::string>{
                "An unexpected entry exists in the preparation root: not-a-uuid. It was not approved for deletion.",
                "Only the first 16 preparation workspaces were checked; these results are partial."}));
}

TEST_F(PreparationStorageTest, PreflightBoundsBudgetAndSpace) {
  const auto preflight = [&](std::int64_t bytes, bool downloaded) {
    return preflightInstallerPreparation(platform(), {bytes, downloaded});
  };
  const std::string outside = "The expected full-installer size is missing or outside the supported range.";
  for (std::int64_t bytes : {std::int64_t{4999999999}, std::int64_t{80000000001}, std::int64_t{-1}}) {
    EXPECT_EQ(preflight(bytes, false), (InstallerPreparationPreflightResponse{false, outside, std::nullopt, 0}));
  }
  EXPECT_FALSE(fs::exists(base));  // refused before the gate

  const std::int64_t budget = 15000000000 + 8589934592;
  test.freeSpace.bytes = budget;
  EXPECT_EQ(preflight(5000000000, true),
            (InstallerPreparationPreflightResponse{
                true,
                "Working-space budget: 23.59 GB additional, 23.59 GB available. This is a conservative estimate, not "
                "a second network download.",
                budget, budget}));
  test.freeSpace.bytes = budget - 1;
  EXPECT_EQ(preflight(5000000000, true).message,
            "Not enough working space. This operation budgets 23.59 GB of additional space for the package "
            "snapshot, extraction and safety headroom; 23.59 GB is available. No new workspace was created.");
  EXPECT_FALSE(preflight(5000000000, true).allowed);
  test.freeSpace.bytes = -5;
  EXPECT_NE(preflight(80000000000, false).message.find("; Zero KB is available."), std::string::npos);
  EXPECT_EQ(preflight(80000000000, false).estimatedAdditionalBytes, 4 * 80000000000 + 8589934592);

  test.freeSpace.bytes = std::nullopt;
  EXPECT_EQ(preflight(5000000000, false),
            (InstallerPreparationPreflightResponse{
                false, "Could not measure available preparation space. No download or extraction was started.",
                std::nullopt, 4 * 5000000000 + 8589934592}));

  test.freeSpace.bytes = std::int64_t{1} << 40;
  leaveWorkspace(kID);
  const auto blocked = preflight(5000000000, false);
  EXPECT_FALSE(blocked.allowed);
  EXPECT_EQ(blocked.message.rfind(kEarlier + kID + ". No new workspace was created.", 0), 0u);
  EXPECT_FALSE(blocked.availableBytes);
  // The gate was released: the next operation gets it.
  EXPECT_EQ(gateRefusal(), "");
}

TEST_F(PreparationStorageTest, HundredThousandEntriesAreSnapshotAndOneMoreIsAnIncompleteMeasurement) {
  const std::string workspace = leaveWorkspace(kID, 0);
  // operation.json, Expanded, the app, Contents, Resources, Frameworks: 6 entries so far.
  const std::string bulk = workspace + "/Expanded/bulk";
  std::size_t entries = 7;
  for (int d = 0; entries < kPreparationEntryLimit; ++d) {
    const std::string directory = bulk + "/" + std::to_string(d);
    ASSERT_TRUE(fs::create_directories(directory));
    ++entries;
    for (int f = 0; f < 999 && entries < kPreparationEntryLimit; ++f, ++entries) {
      platform::UniqueFd file(::open((directory + "/" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
      ASSERT_TRUE(file);
    }
  }
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get(), test.fileFlags);
  EXPECT_EQ(std::tuple(snapshot.complete, snapshot.entries.size()), std::tuple(true, kPreparationEntryLimit));

  testing::writeFileBytes(bulk + "/one-more", "");
  snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get(), test.fileFlags);
  EXPECT_FALSE(snapshot.complete);
  EXPECT_LE(snapshot.entries.size(), kPreparationEntryLimit);
  const auto report = removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
  EXPECT_EQ(report.issues, std::vector<std::string>{kPreparationSafetyLimitExceeded});
  EXPECT_TRUE(fs::exists(bulk + "/one-more"));
}

}  // namespace
}  // namespace tidewarden::storage
