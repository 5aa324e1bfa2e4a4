// The interrupted-installer engine on a temporary root with a virtual clock and scripted lsof and ps.
#include "storage/interrupted_installer_engine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch_queue.h"
#include "storage/activity_evidence.h"
#include "storage/installer_removal_target.h"
#include "storage/safe_paths.h"
#include "support/preparation_root.h"
#include "support/test_platform.h"

namespace tidewarden::storage {
namespace {

namespace fs = std::filesystem;
using Activity = InstallerDownloadActivity;

constexpr const char* kOwn = "/Users/Shared/Tidewarden/Downloads";
constexpr const char* kCache = "/private/var/folders/zz/sw0000gn/C/com.apple.SoftwareUpdate";
constexpr const char* kPartial = "InstallAssistant.pkg.partial";
constexpr uid_t kUpdater = 200;
constexpr uid_t kAdmin = 501;
constexpr const char* kInactive =
    "No open file handles were found and the file did not change during the check. Removal performs a fresh "
    "20-second activity check.";
constexpr const char* kNotApproved = "A selection expired or is no longer approved. Check Installer Downloads again.";

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other accounts";
    // Files are made now on the host; the virtual clock starts an hour later.
    test.clock.wall = static_cast<double>(::time(nullptr)) - platform::kReferenceDateOffset + 3600;
    // lsof: nothing open (exit 1, no output), or what `lsof.out` says; `lsof.touch` names
    // a file to append to while it runs. hdiutil: nothing attached.
    tool("/usr/sbin/lsof",
         "if [ -f " + scratch("lsof.touch") + " ]; then echo x >> \"$(cat " + scratch("lsof.touch") + ")\"; fi\n"
         "if [ -f " + scratch("lsof.out") + " ]; then cat " + scratch("lsof.out") + "; exit 0; fi\nexit 1");
    tool("/bin/ps", "echo /sbin/launchd\necho /usr/bin/Finder\n"
                    "if [ -f " + scratch("ps.extra") + " ]; then cat " + scratch("ps.extra") + "; fi");
    tool("/usr/bin/hdiutil", testing::attachedImagesScript());
  }

  std::string scratch(const std::string& name) const { return scratchDir.path() + "/" + name; }
  std::string host(const std::string& logical) const { return test.rootPath() + logical; }
  void tool(const std::string& logical, const std::string& body) { testing::writeToolScript(test.rootPath(), logical, body); }
  // A leftover preparation workspace with `files` files; its logical path.
  std::string workspace(const std::string& id, int files) {
    testing::leavePreparationWorkspace(test.rootPath(), id, files);
    return std::string(kPreparationRoot) + "/" + id;
  }

  // Makes the folders of `logical` (root, 0755 unless given) and the file with `bytes` bytes.
  std::string file(const std::string& logical, std::size_t bytes = 4096, uid_t owner = 0,
                   uid_t folderOwner = 0) {
    const fs::path path(host(logical));
    fs::create_directories(path.parent_path());
    for (fs::path folder = path.parent_path(); folder.string().size() > test.rootPath().size();
         folder = folder.parent_path()) {
      const bool cache = folder.string().find("com.apple.SoftwareUpdate") != std::string::npos;
      EXPECT_EQ(::chown(folder.c_str(), cache ? folderOwner : 0, 0), 0);
      ::chmod(folder.c_str(), 0755);
    }
    std::ofstream(path) << std::string(bytes, 'd');
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0);
    return logical;
  }
  std::string own(const std::string& folder, const std::string& name = kPartial, std::size_t bytes = 4096,
                  uid_t owner = 0) {
    return file(std::string(kOwn) + "/" + folder + "/" + name, bytes, owner);
  }
  std::string apple(const std::string& name = kPartial, uid_t owner = kUpdater, const std::string& sub = "") {
    return file(std::string(kCache) + sub + "/" + name, 4096, owner, kUpdater);
  }

  InterruptedInstallerScanResponse scan() { return engine.scanInterruptedInstallerDownloads(); }
  InterruptedInstallerRemovalResponse remove(std::vector<std::string> ids, bool acknowledged = true) {
    return engine.removeInterruptedInstallerDownloads({std::move(ids), acknowledged});
  }
  static const InterruptedInstallerDownload* item(const InterruptedInstallerScanResponse& response,
                                                  const std::string& path) {
    const auto found = std::ranges::find(response.items, path, &InterruptedInstallerDownload::path);
    return found == response.items.end() ? nullptr : &*found;
  }
  bool exists(const std::string& logical) const { return fs::exists(fs::symlink_status(host(logical))); }
  mode_t modeOf(const std::string& logical) const {
    return static_cast<mode_t>(fs::symlink_status(host(logical)).permissions());
  }

  testing::TempDir scratchDir;
  testing::TestPlatform test;
  platform::SerialQueue queue{"test.interrupted-installers"};
  InterruptedInstallerEngine engine{test.platform(), queue};
};

TEST_F(EngineTest, PathShapesAndSafeNames) {
  std::string deep = "/private/var/folders/zz/x/C/com.apple.SoftwareUpdate";
  for (int level = 0; level < 17; ++level) deep += "/d";
  const std::pair<std::string, std::optional<InstallerDownloadSource>> cases[] = {
      {std::string(kOwn) + "/a-1_b.c/InstallAssistant.pkg", InstallerDownloadSource::tidewarden},
      {"/System/Volumes/Data" + std::string(kOwn) + "/a/" + kPartial, InstallerDownloadSource::tidewarden},
      {"/var/folders/zz/x/C/com.apple.SoftwareUpdate/" + std::string(kPartial),
       InstallerDownloadSource::appleSoftwareUpdate},
      {deep + "/" + kPartial, InstallerDownloadSource::appleSoftwareUpdate},
      {deep + "/d/" + kPartial, std::nullopt},
      {std::string(kCache) + "/InstallAssistant.pkg", std::nullopt},
      {"/private/var/folders/zzz/x/C/com.apple.SoftwareUpdate/" + std::string(kPartial), std::nullopt},
      {std::string(kOwn) + "/a b/InstallAssistant.pkg", std::nullopt},
      {std::string(kOwn) + "/a/b/InstallAssistant.pkg", std::nullopt},
      {std::string(kOwn) + "/a/Other.pkg", std::nullopt},
      {std::string(kOwn) + "/a/../InstallAssistant.pkg", std::nullopt}};
  for (const auto& [path, source] : cases) EXPECT_EQ(classifyDownloadPath(path), source) << path;
  EXPECT_TRUE(isSafeDownloadName(std::string(180, 'a')));
  for (const std::string& name : {std::string(181, 'a'), std::string(), std::string("."), std::string(".."),
                                 std::string("a b"), std::string("a/b"), std::string("caf\xc3\xa9")}) {
    EXPECT_FALSE(isSafeDownloadName(name)) << name;
  }
}

TEST_F(EngineTest, DiscoveryIgnoresLinksUnsafeFoldersAndCompletePackagesInAppleCaches) {
  const std::string partial = own("good");
  const std::string complete = own("kept", "InstallAssistant.pkg", 8192);
  const std::string longest = own(std::string(180, 'n'));
  own(std::string(181, 'n'));
  const std::string applePartial = apple(kPartial, kUpdater, "/nested/deeper");
  apple("InstallAssistant.pkg");
  fs::create_directories(host(std::string(kOwn) + "/linked"));
  fs::create_symlink(host(partial), host(std::string(kOwn) + "/linked/" + kPartial));

  const auto response = scan();
  ASSERT_EQ(response.items.size(), 4u);
  EXPECT_EQ(response.items[0].path, complete);  // largest first
  EXPECT_TRUE(item(response, partial) && item(response, longest) && item(response, applePartial));
  EXPECT_EQ(item(response, partial)->explanation, kInactive);
  EXPECT_EQ(item(response, complete)->activity, Activity::inactive);
  EXPECT_EQ(item(response, complete)->explanation,
            std::string("This may be a complete package retained after preparation failed, not a partial download. "
                        "Removing it means downloading it again. ") + kInactive);
  EXPECT_EQ(item(response, applePartial)->source, InstallerDownloadSource::appleSoftwareUpdate);
  EXPECT_EQ(response.warnings,
            std::vector<std::string>{"Could not inspect a directory entry: " + std::string(kOwn) + "/linked/" +
                                     kPartial +
                                     ". Installer download is not a regular file (symbolic links are not allowed)."});
  EXPECT_TRUE(response.protectedLocationsChecked);
}

// An Apple cache folder 18 levels deep, or the 129th candidate, cuts the scan with the partial warning.
TEST_F(EngineTest, DiscoveryLimitsCutTheScanWithThePartialWarning) {
  std::string levels;
  for (int level = 0; level < 17; ++level) levels += "/d";
  apple(kPartial, kUpdater, levels);
  for (int index = 0; index < 127; ++index) own("f" + std::to_string(index));
  const auto expectScan = [&](bool partial) {
    const auto response = scan();
    EXPECT_EQ(response.items.size(), 128u);
    EXPECT_EQ(response.protectedLocationsChecked, !partial);
    EXPECT_EQ(response.warnings, partial ? std::vector<std::string>{"Installer-download discovery reached a safety "
                                                                    "limit; these results are partial."}
                                         : std::vector<std::string>{});
  };
  expectScan(/*partial=*/false);
  const std::string tooDeep = apple(kPartial, kUpdater, levels + "/d");
  expectScan(/*partial=*/true);
  fs::remove(host(tooDeep));
  own("f127");
  expectScan(/*partial=*/true);
}

TEST_F(EngineTest, ActivityByTimingLinksLocksAndOwners) {
  const std::string growing = own("growing");
  const std::string linked = own("linked");
  const std::string locked = own("locked");
  const std::string stranger = apple(kPartial, kAdmin);
  const std::string idle = own("idle");
  const std::string opened = own("opened");
  std::ofstream(scratch("lsof.out")) << "p77\nf4\nn/System/Volumes/Data" << opened << "\n";
  ASSERT_EQ(::link(host(linked).c_str(), scratch("second-name").c_str()), 0);
  const platform::UniqueFd lock(::open(host(std::string(kOwn) + "/locked/.tidewarden-download.lock").c_str(),
                                       O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
  std::ofstream(scratch("lsof.touch")) << host(growing);

  const auto response = scan();
  const auto expect = [&](const std::string& path, Activity activity, const std::string& explanation) {
    const auto* found = item(response, path);
    ASSERT_TRUE(found) << path;
    EXPECT_EQ(found->activity, activity) << path;
    EXPECT_EQ(found->explanation, explanation) << path;
  };
  expect(growing, Activity::active, "The file changed during the check. It may still be downloading.");
  expect(linked, Activity::unverified, "This file has multiple hard links. Tidewarden will not remove it.");
  expect(locked, Activity::active,
         "A matching download changed or became inaccessible while checking: Tidewarden is still downloading or "
         "preparing this installer.");
  expect(stranger, Activity::unverified,
         "A matching download changed or became inaccessible while checking: The Apple download is not owned by root "
         "or the dedicated system software-update account; manual review is required.");
  expect(opened, Activity::active, kOpenInstallerFileMessage);
  expect(idle, Activity::inactive, kInactive);

  // Only the idle one was approved: every other id is refused without a look.
  ::unlink(scratch("lsof.touch").c_str());
  ::unlink(scratch("lsof.out").c_str());
  for (const auto& candidate : response.items) {
    if (candidate.path == idle) continue;
    EXPECT_EQ(remove({candidate.id}).issues, std::vector<std::string>{kNotApproved}) << candidate.path;
  }
  EXPECT_EQ(remove({item(response, idle)->id}).removedIDs, std::vector<std::string>{item(response, idle)->id});
}

TEST_F(EngineTest, RecentWindowsDifferBySource) {
  const std::string ownFile = own("a");
  const std::string appleFile = apple();
  // Thirty seconds after the files changed both are recent; five minutes after, only Apple's.
  test.clock.wall -= 3600 - 30;
  auto response = scan();
  EXPECT_EQ(item(response, ownFile)->activity, Activity::recent);
  EXPECT_EQ(item(response, ownFile)->explanation,
            "Changed within the last minute. Wait until the download or preparation has stopped, then check again.");
  EXPECT_EQ(item(response, appleFile)->activity, Activity::recent);
  test.clock.wall += 300 - 30 - 3;
  response = scan();
  EXPECT_EQ(item(response, ownFile)->activity, Activity::inactive);
  EXPECT_EQ(item(response, appleFile)->activity, Activity::recent);
  EXPECT_EQ(item(response, appleFile)->explanation,
            "Changed within the last 10 minutes. Stop the download in its owning app, then check again after it "
            "has been idle.");
}

// lsof that warns is no answer: the download is unverified (and so never approved).
TEST_F(EngineTest, AnLsofWarningLeavesTheDownloadUnverified) {
  own("a");
  tool("/usr/sbin/lsof", "echo 'lsof: WARNING: something'\nexit 1\n");
  EXPECT_EQ(scan().items.at(0).activity, Activity::unverified);
}

// An approval holds for half an hour and for one removal, which watches the file for
// 20 s and leaves its folder. Up to fifty ids are taken at once; an unknown one is an issue.
TEST_F(EngineTest, AnApprovalRemovesOnceWithinHalfAnHour) {
  const std::string path = own("a", kPartial, 10000);
  const std::string expired = scan().items.at(0).id;
  test.clock.sleepFor(31 * 60);
  EXPECT_EQ(remove({expired}).issues, std::vector<std::string>{kNotApproved});
  EXPECT_TRUE(exists(path));

  const auto response = scan();
  const std::string id = response.items.at(0).id;
  test.clock.sleepFor(29 * 60);
  const double before = test.clock.now();
  std::vector<std::string> fifty(49, "00000000-0000-0000-0000-000000000000");
  fifty.push_back(id);
  const std::int64_t space = std::int64_t{1} << 40;  // the test platform's free space
  EXPECT_EQ(remove(fifty), (InterruptedInstallerRemovalResponse{
                               {id}, response.items.at(0).allocatedBytes, space, space, {kNotApproved}, std::nullopt}));
  EXPECT_GE(test.clock.now() - before, 20.0);
  EXPECT_FALSE(exists(path));
  EXPECT_TRUE(exists(std::string(kOwn) + "/a"));
  EXPECT_EQ(remove({id}), (InterruptedInstallerRemovalResponse{{}, 0, space, space, {kNotApproved}, std::nullopt}));
}

TEST_F(EngineTest, RequestRefusalsChangeNothing) {
  const std::string path = own("a");
  const std::string id = scan().items.at(0).id;
  const std::string count = "Select between 1 and 50 installer-download files.";
  const std::tuple<std::vector<std::string>, bool, uid_t, std::string> cases[] = {
      {{}, true, 0, count},
      {std::vector<std::string>(51, id), true, 0, count},
      {{id}, false, 0, "Confirm that no macOS update or installation is in progress."},
      {{id}, true, kAdmin, "Administrator helper access is required. Nothing was removed."}};
  for (const auto& [ids, acknowledged, euid, message] : cases) {
    test.facts.euid = euid;
    const auto response = remove(ids, acknowledged);
    EXPECT_EQ(response, (InterruptedInstallerRemovalResponse{.issues = {message}}));
    EXPECT_TRUE(exists(path));
  }
  test.facts.euid = 0;
  EXPECT_EQ(remove({id}).removedIDs, std::vector<std::string>{id});  // the approval outlived every refusal
}

// A second name given after the scan, or a change while the removal waits its 20 s: the
// file is kept.
TEST_F(EngineTest, ADownloadChangedSinceTheScanIsKept) {
  const std::string a = std::string(kOwn) + "/a";
  const std::string replaced = ": The file changed, was replaced, or has multiple hard links. Nothing was removed.";
  const auto secondName = [&](const std::string& path) {
    ASSERT_EQ(::link(host(path).c_str(), scratch("elsewhere").c_str()), 0);
  };
  const std::tuple<bool, std::function<void(const std::string&)>, std::string> cases[] = {
      {false, secondName, ": The file changed while its path was being checked."},
      {true, [&](const std::string& path) { std::ofstream(host(path), std::ios::app) << "x"; },
       ": The file changed during the 20-second check. Nothing was removed."},
      {true, secondName, replaced},
      {true, [&](const std::string& path) { fs::rename(host(file(path + ".new")), host(path)); }, replaced},
      {true, [&](const std::string&) {
         fs::rename(host(a), host(a + "-old"));
         own("a");
       },
       ": The download folder was moved or replaced during the check. Nothing was removed."}};
  for (const auto& [duringWait, change, issue] : cases) {
    SCOPED_TRACE(issue);
    const std::string path = own("a");
    const std::string id = scan().items.at(0).id;
    if (!duringWait) change(path);
    test.clock.duringSleep = [&](double) { if (duringWait) change(path); };
    const auto response = remove({id});
    test.clock.duringSleep = nullptr;
    EXPECT_EQ(std::tuple(response.removedIDs.size(), response.issues), std::tuple(0u, std::vector{path + issue}));
    EXPECT_TRUE(exists(path));
    fs::remove_all(host(a));
    fs::remove_all(host(a + "-old"));
    ::unlink(scratch("elsewhere").c_str());
  }
}

TEST_F(EngineTest, AnInstallationProcessBlocksOnlyAppleItems) {
  const std::string ownFile = own("a");
  const std::string appleFile = apple();
  const auto scanned = scan();
  ASSERT_EQ(item(scanned, appleFile)->activity, Activity::inactive);
  std::ofstream(scratch("ps.extra")) << "/usr/sbin/softwareupdate\n";
  const auto response = remove({item(scanned, ownFile)->id, item(scanned, appleFile)->id});
  EXPECT_EQ(response.removedIDs, std::vector<std::string>{item(scanned, ownFile)->id});
  EXPECT_EQ(response.issues, std::vector<std::string>{appleFile +
                                                      ": A macOS installer or softwareupdate command is running. "
                                                      "Tidewarden will not remove Apple’s partial files while it is "
                                                      "running."});
  EXPECT_FALSE(exists(ownFile));
  EXPECT_TRUE(exists(appleFile));
  // With the installer gone, the Apple file's approval still stands.
  ::unlink(scratch("ps.extra").c_str());
  EXPECT_EQ(remove({item(scanned, appleFile)->id}).removedIDs, std::vector<std::string>{item(scanned, appleFile)->id});
}

TEST_F(EngineTest, LockAndPermissionRefusalsLeaveModesUnchanged) {
  const std::string lockedByLink = own("lock-linked");
  const std::string open = own("open-folder");
  const std::string fine = own("fine");
  const mode_t fileMode = modeOf(lockedByLink);
  const auto scanned = scan();
  const std::string lockFile = std::string(kOwn) + "/lock-linked/.tidewarden-download.lock";
  std::ofstream(host(lockFile)) << "";
  ::chmod(host(lockFile).c_str(), 0600);
  ASSERT_EQ(::link(host(lockFile).c_str(), scratch("lock-twin").c_str()), 0);
  ::chmod(host(std::string(kOwn) + "/open-folder").c_str(), 0777);

  const auto response = remove({item(scanned, lockedByLink)->id, item(scanned, open)->id, item(scanned, fine)->id});
  EXPECT_EQ(response.removedIDs, std::vector<std::string>{item(scanned, fine)->id});
  EXPECT_EQ(response.issues,
            (std::vector<std::string>{
                lockedByLink + ": The download lock is redirected or invalid.",
                open + ": An installer-download directory has unexpected ownership or unsafe permissions."}));
  EXPECT_TRUE(exists(lockedByLink) && exists(open));
  EXPECT_EQ(std::tuple(modeOf(lockFile), modeOf(std::string(kOwn) + "/open-folder"), modeOf(lockedByLink), modeOf(open)),
            std::tuple(0600u, 0777u, fileMode, fileMode));
}

TEST_F(EngineTest, ApprovalsOfBothKindsAreHeldToTheLimitAndUnchangedWorkspacesShareOneSnapshot) {
  for (int i = 0; i < 128; ++i) own("d" + std::to_string(i));
  workspace("0F1E2D3C-4B5A-4968-8776-655443322110", 40);
  std::size_t heldAfterFirst = 0;
  InterruptedInstallerScanResponse response;
  // Eight scans approve 8 x 128 downloads, at the limit, and 8 workspaces beyond it.
  for (int round = 1; round <= 8; ++round) {
    response = scan();
    ASSERT_EQ(response.items.size(), 129u);
    if (round == 1) heldAfterFirst = engine.approvedPreparationEntries();
    EXPECT_EQ(response.protectedLocationsChecked, round < 8) << round;
    test.clock.sleepFor(1);  // the later approvals expire later
  }
  EXPECT_EQ(heldAfterFirst, 46u);  // the workspace's 6 entries and its 40 files
  EXPECT_EQ(engine.approvedPreparationEntries(), heldAfterFirst);
  // What was pruned went first by expiry: the newest workspace approval still removes.
  const auto removed = remove({item(response, std::string(kPreparationRoot) + "/0F1E2D3C-4B5A-4968-8776-655443322110")->id});
  EXPECT_EQ(removed.removedIDs.size(), 1u) << (removed.issues.empty() ? "" : removed.issues[0]);
}

TEST_F(EngineTest, RemainingWorkspacesCarryIdsThatAFollowingRemovalAccepts) {
  const std::string path = workspace("0F1E2D3C-4B5A-4968-8776-655443322110", 2);
  const std::string id = scan().items.at(0).id;
  std::ofstream(host(path + "/Expanded/late")) << "late";
  const auto refused = remove({id});
  EXPECT_TRUE(refused.removedIDs.empty());
  ASSERT_TRUE(refused.remainingPreparationItems);
  ASSERT_EQ(refused.remainingPreparationItems->size(), 1u);
  const InterruptedInstallerDownload& remaining = refused.remainingPreparationItems->at(0);
  EXPECT_EQ(remaining.activity, Activity::inactive);
  const auto removed = remove({remaining.id});
  EXPECT_EQ(removed.removedIDs, std::vector<std::string>{remaining.id})
      << (removed.issues.empty() ? "" : removed.issues[0]);
  EXPECT_FALSE(exists(path));
}

}  // namespace
}  // namespace tidewarden::storage
