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

const auto refusal = [](auto&& action) { return testing::storageRefusal(action); };

mode_t modeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode = 0600) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(path.c_str(), mode);
}

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

  testing::TestPlatform test;
};

const std::string kID = "0F1E2D3C-4B5A-4968-8776-655443322110";

TEST_F(PreparationStorageTest, LockThatIsALinkOrHasTwoLinksIsRefusedAndNeverFollowed) {
  const std::string base = host("/private/var/tmp/com.ambergrove.Tidewarden");
  fs::create_directories(base);
  const std::string lock = base + "/.preparation-operation.lock";
  const std::string target = host("/private/var/tmp/elsewhere");
  const std::string unsafe = "The preparation-operation lock has unsafe ownership, permissions or links.";

  fs::create_symlink(target, lock);
  EXPECT_EQ(gateRefusal(), unsafe);
  EXPECT_FALSE(fs::exists(target));  // O_CREAT never went through the link
  EXPECT_FALSE(fs::exists(host(kRoot)));
  fs::remove(lock);

  writeFile(target, "");
  fs::create_hard_link(target, lock);
  EXPECT_EQ(gateRefusal(), unsafe);
  fs::remove(lock);
  fs::remove(target);

  writeFile(lock, "", 0644);
  EXPECT_EQ(gateRefusal(), unsafe);
  EXPECT_EQ(modeOf(lock) & 07777, 0644u);
  fs::remove(lock);

  // A fresh lock is made private and the gate opens.
  EXPECT_EQ(gateRefusal(), "");
  EXPECT_EQ(modeOf(lock) & 07777, 0600u);
  EXPECT_EQ(modeOf(host(kRoot)) & 07777, 0700u);
}

TEST_F(PreparationStorageTest, RootOrBaseWithLooseModesIsRefusedAndLeftAsItWas) {
  fs::create_directories(host(kRoot));
  ::chmod(host(kRoot).c_str(), 0755);
  EXPECT_EQ(gateRefusal(),
            "Preparation directory InstallAssistant does not have the required root ownership and safe permissions. "
            "Its permissions were not silently changed.");
  EXPECT_EQ(modeOf(host(kRoot)) & 07777, 0755u);

  // The base only needs to be closed to writers.
  ::chmod(host(kRoot).c_str(), 0700);
  ::chmod(host("/private/var/tmp/com.ambergrove.Tidewarden").c_str(), 0777);
  EXPECT_EQ(gateRefusal(),
            "Preparation directory com.ambergrove.Tidewarden does not have the required root ownership and safe "
            "permissions. Its permissions were not silently changed.");
  ::chmod(host("/private/var/tmp/com.ambergrove.Tidewarden").c_str(), 0755);
  EXPECT_EQ(gateRefusal(), "");

  test.facts.euid = 501;
  EXPECT_EQ(gateRefusal(),
            "Preparation storage requires the administrator helper.");
}

TEST_F(PreparationStorageTest, SecondOperationIsRefusedAtOnceUntilTheFirstReleasesTheGate) {
  std::optional<PreparationStorageGate> first(PreparationStorageGate::open(platform()));
  EXPECT_EQ(gateRefusal(), kPreparationOperationBusy);
  first.reset();
  EXPECT_EQ(gateRefusal(), "");
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
  EXPECT_EQ(modeOf(host(kRoot + "/" + workspace.id())) & 07777, 0700u);
  EXPECT_EQ(modeOf(manifestPath) & 07777, 0600u);
  struct stat before{};
  ::stat(manifestPath.c_str(), &before);
  workspace.recordPhase("extracting installer");
  struct stat after{};
  ::stat(manifestPath.c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);  // rewritten in place, never renamed
  std::ifstream in(manifestPath, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto manifest = platform::json::decodeDocument<PreparationManifest>(bytes);
  EXPECT_EQ(manifest, (PreparationManifest{1, workspace.id(), "15.1", "24B83", "installer",
                                           platform::json::Date{750000000.5}, "extracting installer"}));
  // The workspace itself now blocks the next one.
  EXPECT_EQ(refusal([&] { gate.requireNoEarlierWorkspace(); }).rfind(kEarlier + workspace.id() + ".", 0), 0u);
}

TEST_F(PreparationStorageTest, ContentsAndManifestMustMatchTheirWorkspace) {
  const std::string workspace = leaveWorkspace(kID);
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const auto validate = [&] {
    return refusal([&] { validateWorkspaceContents(platform(), gate.openWorkspace(kID).get(), kID, true); });
  };
  EXPECT_EQ(validate(), "");

  const std::string good = R"({"schema":1,"operationID":")" + kID +
                           R"(","version":"15.1","build":"24B83","purpose":"installer","createdAt":1,"phase":"created"})";
  for (const std::string& manifest : std::vector<std::string>{
           R"({"schema":1,"operationID":"11111111-2222-4333-8444-555555555555","version":"","build":"","purpose":"installer","createdAt":1,"phase":"created"})",
        R"({"schema":1,"operationID":")" + kID + R"(","version":"","build":"","purpose":"other","createdAt":1,"phase":"created"})",
        R"({"schema":1,"operationID":")" + kID + R"(","version":"","build":"","purpose":"installer","phase":"created"})"}) {
    writeFile(workspace + "/operation.json", manifest);
    EXPECT_EQ(validate(), kManifestDoesNotMatch) << manifest;
  }
  writeFile(workspace + "/operation.json", good);
  EXPECT_EQ(validate(), "");

  writeFile(workspace + "/notes.txt", "mine");
  EXPECT_EQ(validate(), kUnexpectedWorkspaceEntries);
  EXPECT_TRUE(fs::exists(workspace + "/notes.txt"));

  EXPECT_EQ(refusal([&] { gate.openWorkspace("0f1e2d3c-4b5a-4968-8776-655443322110"); }),
            "Invalid preparation workspace identifier.");
}

TEST_F(PreparationStorageTest, SymbolicLinkInsideIsMeasuredAndRemovedWithTheWorkspace) {
  const std::string workspace = leaveWorkspace(kID, 3);
  const std::string outside = host("/private/var/tmp/keep-me");
  writeFile(outside, "not ours");
  fs::create_symlink(outside, workspace + "/Expanded/Install macOS Sequoia.app/Contents/Outside");
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());
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
  EXPECT_FALSE(fs::exists(host(kRoot)));  // the emptied root goes too
  EXPECT_TRUE(fs::exists(outside));       // the link's target stays
  EXPECT_TRUE(fs::exists(host("/private/var/tmp/com.ambergrove.Tidewarden/.preparation-operation.lock")));
  EXPECT_EQ(cleanupSummary(report).rfind("Preparation workspace removal verified. Temporary allocation before "
                                         "removal: ", 0),
            0u);
}

TEST_F(PreparationStorageTest, AnEntryAddedAfterTheSnapshotStopsTheCleanupWhichSaysWhatIsKept) {
  const std::string workspace = leaveWorkspace(kID);
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());

  writeFile(workspace + "/PayloadMetadata", "late");
  const auto report = removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
  const std::string path = kRoot + "/" + kID;
  const std::string issue = "A new preparation entry appeared: " + path + "/PayloadMetadata. Cleanup stopped.";
  EXPECT_EQ(std::tuple(report.verified, report.issues, report.workspacePath),
            std::tuple(false, std::vector{issue}, path));
  EXPECT_TRUE(fs::exists(workspace + "/PayloadMetadata") && fs::exists(workspace + "/operation.json"));
  EXPECT_EQ(cleanupSummary(report), "Preparation storage could not be completely removed. Kept at " + path +
                                        ". Remaining allocation: " +
                                        platform::fileByteCountText(*report.remainingAllocatedBytes) +
                                        ". " + issue + " Check Downloads & Preparation Files before another attempt.");
}

TEST_F(PreparationStorageTest, NamesOfOneFileAllInsideTheWorkspaceGoInOneCleanupAndAnOutsideLinkStopsIt) {
  const std::string workspace = leaveWorkspace(kID, 4);
  const std::string resources = workspace + "/Expanded/Install macOS Sequoia.app/Contents/Resources";
  // Four linked pairs: two names beside each other, and two in different folders.
  for (int i = 0; i < 4; ++i) {
    const std::string partner = i % 2 ? resources + "/link-" : workspace + "/Expanded/link-";
    ASSERT_EQ(::link((resources + "/file-" + std::to_string(i)).c_str(), (partner + std::to_string(i)).c_str()), 0);
  }
  {
    PreparationStorageGate gate = PreparationStorageGate::open(platform());
    const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());
    const auto report = removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
    EXPECT_TRUE(report.verified) << (report.issues.empty() ? "" : report.issues[0]);
    EXPECT_FALSE(fs::exists(workspace));
  }

  // A name outside the approved tree, made after the snapshot, is a change.
  leaveWorkspace(kID, 1);
  ASSERT_EQ(::link((resources + "/file-0").c_str(), (workspace + "/Expanded/link").c_str()), 0);
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());
  ASSERT_EQ(::link((resources + "/file-0").c_str(), host("/private/var/tmp/outside").c_str()), 0);
  const auto report = removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
  EXPECT_EQ(report.issues, std::vector<std::string>{"Preparation file changed before deletion: " + kRoot + "/" + kID +
                                                    "/Expanded/Install macOS Sequoia.app/Contents/Resources/file-0"});
  EXPECT_TRUE(fs::exists(host("/private/var/tmp/outside")));
}

TEST_F(PreparationStorageTest, ADirectorysUserFlagsAreClearedBeforeItsContentsAreRemoved) {
  const std::string workspace = leaveWorkspace(kID, 2);
  // "Expanded" carries an append-only flag: while it is set its entries could not be removed.
  std::vector<std::string> clearedWithEntriesLeft;
  bool flagged = true;
  PreparationEntryFlags flags;
  flags.read = [&](int, const std::string& name) -> std::optional<std::uint32_t> {
    return name == "Expanded" && flagged ? 0x4u : 0u;
  };
  flags.clear = [&](int, const std::string& name) {
    if (name == "Expanded") {
      flagged = false;
      clearedWithEntriesLeft.push_back(fs::is_empty(workspace + "/Expanded") ? "empty" : "with its entries");
    }
    return true;
  };
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());
  const auto report =
      removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation, flags);
  EXPECT_TRUE(report.verified);
  EXPECT_EQ(clearedWithEntriesLeft, std::vector<std::string>{"with its entries"});
}

TEST_F(PreparationStorageTest, NamedPipeIsReportedAndNotApproved) {
  const std::string workspace = leaveWorkspace(kID);
  ASSERT_EQ(::mkfifo((workspace + "/Expanded/progress.fifo").c_str(), 0600), 0);
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  EXPECT_EQ(refusal([&] { snapshotPreparationTree(gate.openWorkspace(kID).get()); }),
            "An unexpected special file is present in preparation storage: Expanded/progress.fifo");

  const PreparationInventory inventory = inventoryPreparationWorkspaces(platform());
  ASSERT_EQ(inventory.items.size(), 1u);
  const InterruptedInstallerDownload& item = inventory.items[0];
  EXPECT_EQ(std::tuple(item.activity, item.explanation, item.measurementComplete, inventory.approvals.size()),
            std::tuple(InstallerDownloadActivity::unverified,
                       "An unexpected special file is present in preparation storage: Expanded/progress.fifo", false, 0u));

  fs::remove(workspace + "/Expanded/progress.fifo");
  const PreparationInventory idle = inventoryPreparationWorkspaces(platform());
  ASSERT_EQ(idle.approvals.size(), 1u);
  EXPECT_EQ(std::tuple(idle.items[0].explanation, idle.items[0].path, idle.items[0].source, idle.approvals[0].expiresAt),
            std::tuple(kPreparationIdleExplanation, kRoot + "/" + kID, InstallerDownloadSource::tidewardenPreparation,
                       test.clock.wall + 1800));
}

TEST_F(PreparationStorageTest, MountedImageAndOpenFilesBlockTheWorkspace) {
  leaveWorkspace(kID);
  installTools(1, "<dict><key>image-path</key><string>/Users/Shared/elsewhere.dmg</string><key>system-entities</key>"
                  "<array><dict><key>dev-entry</key><string>/dev/disk5s1</string><key>mount-point</key><string>" +
                      kRoot + "/" + kID + "/PayloadMetadata</string></dict></array></dict>");
  PreparationInventory inventory = inventoryPreparationWorkspaces(platform());
  ASSERT_EQ(inventory.items.size(), 1u);
  EXPECT_EQ(inventory.items[0].activity, InstallerDownloadActivity::active);
  EXPECT_EQ(inventory.items[0].explanation.rfind("An image is still attached to this workspace.", 0), 0u);
  EXPECT_TRUE(inventory.approvals.empty());

  // Approved while idle, then an image appears: the removal refuses and keeps everything.
  installTools(1, "");
  inventory = inventoryPreparationWorkspaces(platform());
  ASSERT_EQ(inventory.approvals.size(), 1u);
  installTools(1, "<dict><key>image-path</key><string>" + kRoot + "/" + kID +
                      "/InstallAssistant.pkg</string><key>system-entities</key><array/></dict>");
  PreparationRemovalOutcome outcome = removeApprovedPreparationWorkspaces(platform(), inventory.approvals);
  EXPECT_TRUE(outcome.removedIDs.empty());
  EXPECT_EQ(outcome.issues, std::vector<std::string>{kRoot + "/" + kID +
                                                     ": A disk image is still associated with this preparation "
                                                     "workspace. It was not recursively deleted. No unrelated disk was "
                                                     "detached."});
  ASSERT_EQ(outcome.remainingItems.size(), 1u);
  EXPECT_TRUE(fs::exists(host(kRoot + "/" + kID + "/Expanded")));

  // lsof that cannot answer cleanly is never read as "nothing open"; nor is a workspace
  // written to while the tools look at it idle.
  installTools(2, "");
  inventory = inventoryPreparationWorkspaces(platform());
  EXPECT_EQ(inventory.items[0].explanation, "Preparation activity could not be verified.");
  EXPECT_TRUE(inventory.approvals.empty());
  testing::writeToolScript(test.rootPath(), "/usr/sbin/lsof", "echo x >> '" + host(kRoot + "/" + kID + "/Expanded/Install macOS Sequoia.app/Contents/Resources/file-0") + "'; exit 1");
  inventory = inventoryPreparationWorkspaces(platform());
  EXPECT_EQ(inventory.items[0].explanation, "Preparation contents changed during inspection.");
  EXPECT_TRUE(inventory.approvals.empty());

  // An approval past its expiry removes nothing.
  installTools(1, "");
  inventory = inventoryPreparationWorkspaces(platform());
  test.clock.sleepFor(1801);
  outcome = removeApprovedPreparationWorkspaces(platform(), inventory.approvals);
  EXPECT_EQ(outcome.issues, std::vector<std::string>{kPreparationApprovalExpired});
  EXPECT_TRUE(fs::exists(host(kRoot + "/" + kID)));
}

// A user removal looks at the workspace before and after its 20 s wait: what changes
// during the wait (a new entry, a file written, another process opening a file) keeps it.
TEST_F(PreparationStorageTest, AWorkspaceChangedDuringTheTwentySecondWaitIsKeptWhole) {
  const std::string path = kRoot + "/" + kID;
  const std::string file = host(path + "/Expanded/Install macOS Sequoia.app/Contents/Resources/file-1");
  const std::string changed = path + ": Preparation contents changed after selection. Nothing was removed.";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { writeFile(host(path + "/PayloadMetadata"), "late"); }, changed},
      {[&] { std::ofstream(file, std::ios::app) << "more"; }, changed},
      {[&] { testing::writeToolScript(test.rootPath(), "/usr/sbin/lsof", "printf 'p611\\nf4\\nn" + path + "/a\\n'"); },
       path + ": Another process (PID 611) still has preparation files open. Nothing was removed."}};
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
    EXPECT_TRUE(outcome.removedIDs.empty());
    EXPECT_EQ(outcome.issues, std::vector<std::string>{issue});
    EXPECT_EQ(outcome.remainingItems.size(), 1u);
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
  writeFile(outside, "not ours");
  for (std::size_t killAt = 0;; ++killAt) {
    const std::string workspace = leaveWorkspace(kID);
    fs::create_symlink(outside, workspace + "/Expanded/Outside");
    std::optional<PreparationStorageGate> gate(PreparationStorageGate::open(platform()));
    const PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate->openWorkspace(kID).get());
    gate.reset();
    if (killAt == snapshot.entries.size()) break;
    SCOPED_TRACE("killed before entry " + std::to_string(killAt) + " of " + std::to_string(snapshot.entries.size()));
    const auto cleanup = [&] {
      PreparationStorageGate held = PreparationStorageGate::open(platform());
      PreparationEntryFlags flags;
      std::size_t seen = 0;
      flags.read = [&](int, const std::string&) -> std::optional<std::uint32_t> {
        if (seen++ == killAt) std::_Exit(kKilled);
        return 0u;
      };
      removePreparationWorkspace(held, kID, snapshot, PreparationRemovalRequester::ownOperation, flags);
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
  for (int i = 0; i < 17; ++i) {
    char id[37];
    std::snprintf(id, sizeof id, "0F1E2D3C-4B5A-4968-8776-%012d", i);
    leaveWorkspace(id, 0);
  }
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
  EXPECT_FALSE(fs::exists(host("/private/var/tmp/com.ambergrove.Tidewarden")));  // refused before the gate

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
    ASSERT_EQ(::mkdir(directory.c_str(), 0700) == 0 || (d == 0 && fs::create_directories(directory)), true);
    ++entries;
    for (int f = 0; f < 999 && entries < kPreparationEntryLimit; ++f, ++entries) {
      platform::UniqueFd file(::open((directory + "/" + std::to_string(f)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
      ASSERT_TRUE(file);
    }
  }
  PreparationStorageGate gate = PreparationStorageGate::open(platform());
  PreparationTreeSnapshot snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());
  EXPECT_TRUE(snapshot.complete);
  EXPECT_EQ(snapshot.entries.size(), kPreparationEntryLimit);

  writeFile(bulk + "/one-more", "");
  snapshot = snapshotPreparationTree(gate.openWorkspace(kID).get());
  EXPECT_FALSE(snapshot.complete);
  EXPECT_LE(snapshot.entries.size(), kPreparationEntryLimit);
  const auto report = removePreparationWorkspace(gate, kID, snapshot, PreparationRemovalRequester::ownOperation);
  EXPECT_EQ(report.issues, std::vector<std::string>{kPreparationSafetyLimitExceeded});
  EXPECT_TRUE(fs::exists(bulk + "/one-more"));
}

}  // namespace
}  // namespace tidewarden::storage
