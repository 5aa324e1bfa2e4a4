// The local-installer deletion on a real tree: a tree changed after the final checks, and what a
// helper killed at each point of a deletion leaves for the next scan.
#include "installers/prepared_installer_engine.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "installers/installer_deletion_record.h"
#include "installers/prepared_installer_handle.h"
#include "installers/installer_tree_rules.h"
#include "platform/property_list.h"
#include "support/test_platform.h"

namespace tidewarden::installers {
namespace {

namespace fs = std::filesystem;

const std::string kApp = "/Applications/Install macOS Sequoia.app";
const std::string kRefused = "Cannot approve permanent deletion: ";
const std::string kReusable = "Reusable local installer, not junk.";
const std::string kInterrupted = "An earlier deletion of this installer was interrupted; what is left of it";

// An installer bundle owned by root (the suite runs as root) whose signature, idleness and
// images the probes vouch for, so that only the tree and the records decide.
class PreparedInstallerEngineTest : public ::testing::Test {
 public:
  PreparedInstallerEngineTest() : engine_(test_.platform()) {
    engine_.probes.validateSignature = [](const std::string&) {};
    engine_.probes.requireIdle = [](const std::string&) {};
    engine_.probes.freeSpace = [this](const std::string&) {
      if (beforeRemoval_) std::exchange(beforeRemoval_, nullptr)();
      return std::optional<std::int64_t>(1000000);
    };
    engine_.imageProbes.inspect = [](const std::string&) { return std::vector<PreparedInstallerAttachment>{}; };
    makeInstaller();
  }

  std::string host(const std::string& logical) const { return test_.rootPath() + logical; }
  void makeInstaller(const std::string& bundle = kApp) {
    for (const char* folder : {"/Contents/MacOS", "/Contents/Resources", "/Contents/SharedSupport"}) {
      fs::create_directories(host(bundle + folder));
    }
    platform::PropertyList info = platform::PropertyList::dictionary();
    info.set("CFBundleIdentifier", platform::PropertyList::string("com.apple.InstallAssistant"));
    info.set("CFBundlePackageType", platform::PropertyList::string("APPL"));
    std::ofstream(host(bundle + "/Contents/Info.plist")) << info.toBinary();
    std::ofstream(host(bundle + "/Contents/MacOS/InstallAssistant")) << "main";
    std::ofstream(host(bundle + "/Contents/Resources/createinstallmedia")) << "#!/bin/sh\n";
    fs::permissions(host(bundle + "/Contents/Resources/createinstallmedia"), fs::perms(0755));
    std::ofstream(host(bundle + "/Contents/SharedSupport/SharedSupport.dmg")) << "image";
  }
  // The intent record a deletion writes before its first removal.
  void recordDeletion() {
    const PreparedInstallerHandle handle = openHandle(test_.platform(), kApp);
    writeDeletionRecord(test_.platform(), deletionRecord(kApp, handle.identity.device, handle.identity.inode,
                                                         snapshotInstallerTree(test_.platform(), handle, engine_.clock)));
  }
  // The records a scan would find (a free slot holds none).
  std::vector<std::string> records() {
    std::vector<std::string> names;
    for (const StoredDeletionRecord& stored : readDeletionRecords(test_.platform())) names.push_back(stored.name);
    return names;
  }
  PreparedInstallerScanResponse scan() { return engine_.scan({}); }
  PreparedInstallerDeleteResponse remove(const PreparedInstallerItem& item) {
    return engine_.deleteInstaller({item.id, true, true});
  }

  testing::TestPlatform test_;
  PreparedInstallerEngine engine_;
  std::function<void()> beforeRemoval_;  // runs once, after the final checks and before the first removal
};

// The last look before the removal passes; then a file appears in a folder the removal has
// not reached. The removal stops there, keeping it, and says it began; the record stays,
// and what is left is not offered again until it is back to what the record holds.
TEST_F(PreparedInstallerEngineTest, ATreeChangedAfterTheFinalChecksStopsTheDeletionAndKeepsTheNewFile) {
  const std::string late = kApp + "/Contents/SharedSupport/late";
  beforeRemoval_ = [&] { std::ofstream(host(late)) << "the user's"; };
  const PreparedInstallerScanResponse reviewed = scan();
  ASSERT_EQ(reviewed.items.size(), 1u);
  ASSERT_TRUE(reviewed.items[0].canDelete) << reviewed.items[0].reason;
  const PreparedInstallerDeleteResponse stopped = remove(reviewed.items[0]);
  EXPECT_FALSE(stopped.deleted);
  EXPECT_TRUE(stopped.mutationStarted);
  EXPECT_EQ(stopped.message,
            "Deletion did not complete. The local installer may be incomplete. No automatic retry or broader deletion "
            "was attempted. Installer directory changed before deletion: " + kApp + "/Contents/SharedSupport");
  EXPECT_GT(stopped.allocatedBytesRemaining, 0);
  EXPECT_TRUE(fs::exists(host(late)));
  EXPECT_FALSE(fs::exists(host(kApp + "/Contents/Info.plist")));
  EXPECT_EQ(records().size(), 1u);

  const PreparedInstallerItem changed = scan().items.at(0);
  EXPECT_FALSE(changed.canDelete);
  EXPECT_EQ(changed.reason, kRefused + "An earlier deletion of this installer was interrupted, and what is left changed "
                                       "since. Remove it by hand after checking it.");

  fs::remove(host(late));
  const PreparedInstallerItem remains = scan().items.at(0);
  ASSERT_TRUE(remains.canDelete) << remains.reason;
  EXPECT_TRUE(remains.reason.starts_with(kInterrupted)) << remains.reason;
  EXPECT_TRUE(remove(remains).deleted);
  EXPECT_FALSE(fs::exists(host(kApp)));
  EXPECT_TRUE(records().empty());
}

// A helper killed after writing its intent leaves the record with all, part or none of the
// bundle (or, later, another bundle in its place); the next scan reviews a whole bundle as
// usual and forgets its record, offers what is left of a part, or forgets the record of a
// bundle that is gone. After the first scan the records are written into the slot set aside
// for a full volume, and read back from it. Part of it is the socket test's, killed for real.
// A record that cannot be read is never taken as "no interrupted deletion".
TEST_F(PreparedInstallerEngineTest, WhatAKilledDeletionLeavesIsFinishedOrForgotten) {
  struct Case {
    const char* name;
    std::function<void(PreparedInstallerEngineTest&)> afterRecord;
    std::string reason;  // the beginning of the item's reason; empty: no item
  };
  const Case cases[] = {
      {"nothing removed yet", [](auto&) {}, kReusable},
      {"part removed", [](auto& test) { fs::remove(test.host(kApp + "/Contents/MacOS/InstallAssistant")); },
       kInterrupted},
      {"all removed", [](auto& test) { fs::remove_all(test.host(kApp)); }, ""},
      {"another installer in its place",
       [](auto& test) {  // made while the old one exists, so that it cannot reuse its inode
         test.makeInstaller("/Applications/New.app");
         fs::remove_all(test.host(kApp));
         fs::rename(test.host("/Applications/New.app"), test.host(kApp));
       },
       kReusable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(host(kApp));
    makeInstaller();
    recordDeletion();
    c.afterRecord(*this);
    const PreparedInstallerScanResponse found = scan();
    EXPECT_TRUE(found.complete);
    if (c.reason.empty()) {
      EXPECT_TRUE(found.items.empty());
      EXPECT_TRUE(records().empty());
      continue;
    }
    ASSERT_EQ(found.items.size(), 1u);
    EXPECT_TRUE(found.items[0].reason.starts_with(c.reason)) << found.items[0].reason;
    EXPECT_EQ(records().size(), c.reason == kInterrupted ? 1u : 0u);
    const PreparedInstallerDeleteResponse deleted = remove(found.items[0]);
    EXPECT_TRUE(deleted.deleted) << deleted.message;
    EXPECT_FALSE(fs::exists(host(kApp)));
    EXPECT_TRUE(records().empty());
  }

  makeInstaller();
  recordDeletion();
  std::ofstream(host(std::string(kInstallerDeletionRecordFolder) + "/" + records().at(0))) << "{\"path\":";
  const PreparedInstallerScanResponse unread = scan();
  EXPECT_FALSE(unread.complete);
  EXPECT_EQ(unread.warnings, std::vector<std::string>{"An installer deletion record could not be read; an "
                                                      "interrupted deletion may not be shown."});
  EXPECT_EQ(records().size(), 1u);
}

// A record that cannot be removed after a verified deletion (its folder is no longer
// protected) is tried again and named in the reply; a later scan that can remove it does.
TEST_F(PreparedInstallerEngineTest, ARecordThatCannotBeRemovedIsNamedInTheReply) {
  const std::string folder = host(std::string(kInstallerDeletionRecordFolder));
  beforeRemoval_ = [&] { beforeRemoval_ = [&] { fs::permissions(folder, fs::perms(0777)); }; };  // at the end
  const PreparedInstallerDeleteResponse deleted = remove(scan().items.at(0));
  EXPECT_TRUE(deleted.deleted);
  EXPECT_TRUE(deleted.message.ends_with("could not be removed; the next check of Installer Storage removes it."))
      << deleted.message;
  fs::permissions(folder, fs::perms(0700));
  EXPECT_TRUE(scan().items.empty());
  EXPECT_TRUE(records().empty());
}

// A bundle snapshot that runs past 30 s of the engine's clock approves nothing.
TEST_F(PreparedInstallerEngineTest, ASnapshotPastItsTimeLimitApprovesNothing) {
  engine_.clock = [t = 0.0]() mutable { return t += 10; };  // each look at the clock: 10 s later
  const PreparedInstallerScanResponse found = scan();
  ASSERT_EQ(found.items.size(), 1u);
  EXPECT_FALSE(found.items[0].canDelete);
  EXPECT_EQ(found.items[0].reason, kRefused + storage::kPreparationSafetyLimitExceeded);
}

}  // namespace
}  // namespace tidewarden::installers
