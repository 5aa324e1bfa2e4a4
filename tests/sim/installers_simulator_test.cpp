// Local installers over the real socket on the simulated Mac: reviews, image release and permanent deletion.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/full_volume.h"
#include "support/platform_waits.h"
#include "support/served_mac_fixture.h"

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kApp = "/Applications/Install macOS Sequoia.app";
constexpr const char* kImage = "/Applications/Install macOS Sequoia.app/Contents/SharedSupport/SharedSupport.dmg";
constexpr const char* kCannotApprove = "Cannot approve permanent deletion: ";
constexpr const char* kOwnership =
    "The installer is redirected, mounted separately, or does not have protected administrator "
    "ownership/permissions. Its permissions were not changed.";
constexpr const char* kDeleteReason = "Reusable local installer, not junk.";
constexpr const char* kLayout = "An attached image belongs to this installer, but its read-only file/device layout is";
constexpr const char* kImmediateOnly = "Permanent installer deletion is limited to an immediate Install macOS";

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class InstallersSimulatorTest : public ServedMacTest {
 protected:
  // `installer app` with `options`; returns the printed bundle path.
  std::string app(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"installer", "app"});
    const ProgramResult result = world(options);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return result.standardOutput.substr(0, result.standardOutput.find('\n'));
  }
  ProgramResult installers(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "installers");
    return ctl(arguments);
  }
  json scan(const std::optional<std::string>& only = std::nullopt) {
    std::vector<std::string> arguments{"scan", "--json"};
    if (only) arguments.insert(arguments.end(), {"--only", *only});
    const ProgramResult result = installers(arguments);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return json::parse(result.standardOutput, nullptr, false);
  }
  // The one item a scan of `path` gives.
  json review(const std::string& path = kApp) {
    const json reply = scan(path);
    EXPECT_EQ(reply["items"].size(), 1u) << reply.dump();
    return reply["items"].empty() ? json::object() : reply["items"][0];
  }
  // delete or release-images with both acknowledgments; the reply and exit status.
  std::pair<json, int> act(const std::string& verb, const std::string& id) {
    const ProgramResult result = installers({verb, id, verb == "delete" ? "--permanent" : "--acknowledge",
                                             "--no-installation-in-progress", "--json"});
    return {json::parse(result.standardOutput, nullptr, false), result.exitCode};
  }
  json detachInvocations() { return showWorld(mac())["installers"].value("detachInvocations", json::array()); }
  void attach(const std::string& image, int disk, std::vector<std::string> options = {}) {
    const std::string whole = "/dev/disk" + std::to_string(disk);
    std::vector<std::string> verb{"attach-image", image, "--entity", whole, "--entity",
                                  whole + "s1=/Volumes/Shared Support " + std::to_string(disk)};
    verb.insert(verb.end(), options.begin(), options.end());
    change(verb);
  }
};

// The listing keeps installer names only (the name table is the unit test's) and checks at
// most 32 of them; a single path outside the rule is refused with a warning.
TEST_F(InstallersSimulatorTest, OnlyImmediateInstallMacOSApplicationsAreReviewedThirtyTwoAtMost) {
  app();
  for (const std::string name : {"Install macOSSequoia.app", "Install macOS Se\tquoia.app", "Install macOS X.App"}) {
    ASSERT_TRUE(fs::create_directory(host("/Applications/" + name)));
  }
  const auto addEmpty = [&](int index) {
    ASSERT_TRUE(fs::create_directory(host("/Applications/Install macOS Z" + std::to_string(100 + index) + ".app")));
  };
  for (int index = 0; index < 31; ++index) addEmpty(index);
  const json all = scan();
  ASSERT_EQ(all["items"].size(), 32u) << all.dump();
  EXPECT_EQ(all["items"][0]["path"], kApp);
  EXPECT_TRUE(startsWith(all["items"][0]["reason"], kDeleteReason));
  EXPECT_TRUE(all["complete"].get<bool>()) << all["warnings"].dump();

  addEmpty(31);
  const json partial = scan();
  EXPECT_EQ(partial["items"].size(), 32u);
  EXPECT_EQ(partial["items"][31]["name"], "Install macOS Z130");
  EXPECT_EQ(partial["warnings"], json::array({"Only the first 32 matching local installer applications were checked. "
                                              "Results are partial."}));
  EXPECT_FALSE(partial["complete"].get<bool>());

  const json nested = scan("/Applications/Sub/Install macOS Sequoia.app");
  EXPECT_TRUE(nested["items"].empty());
  ASSERT_EQ(nested["warnings"].size(), 1u);
  EXPECT_TRUE(startsWith(nested["warnings"][0], kImmediateOnly));
}

// Each row makes one flawed installer and reads its review's reason (the approved ones are the
// other tests'). The identifier and signature values are the unit tests'; here one row per path.
TEST_F(InstallersSimulatorTest, EachFlawedInstallerIsRefusedWithItsReason) {
  struct Case {
    std::string name;
    std::vector<std::string> options;
    std::string reason;  // beginning, after "Cannot approve permanent deletion: "
  };
  const std::vector<Case> cases{
      {"Install macOS Lower", {"--identifier", "com.apple.installassistant"},
       "This is not an identified Apple macOS installer application."},
      {"Install macOS Owner", {"--owner", "501"}, kOwnership},
      {"Install macOS Writable", {"--group-writable"}, kOwnership},
      {"Install macOS Linked", {"--link-outside"},
       "An installer file has hard links outside the reviewed application, or the inventory is incomplete."},
      {"Install macOS Tool Link", {"--media-tool", "link"}, "The installer's media-creation executable is missing"},
      {"Install macOS Tool Mode", {"--media-tool", "not-executable"},
       "The installer's media-creation executable is missing"},
      {"Install macOS Adhoc", {"--signer", "adhoc"},
       "Local macOS installer could not pass strict signature verification (Security status -67050)."},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options{"--name", c.name};
    options.insert(options.end(), c.options.begin(), c.options.end());
    app(options);
  }
  // A link named like an installer, to a real one elsewhere.
  const std::string elsewhere = app({"--name", "Install macOS Target"});
  fs::rename(host(elsewhere), host("/Users/Shared/Target.app"));
  fs::create_directory_symlink("/Users/Shared/Target.app", host("/Applications/Install macOS Symlink.app"));

  for (const Case& c : cases) {
    const json item = review("/Applications/" + c.name + ".app");
    EXPECT_TRUE(startsWith(item.value("reason", ""), kCannotApprove + c.reason)) << c.name << ": " << item.dump();
    EXPECT_FALSE(item.value("canDelete", true)) << c.name;
  }
  EXPECT_EQ(review("/Applications/Install macOS Symlink.app")["reason"], std::string(kCannotApprove) + kOwnership);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(host("/Applications/Install macOS Symlink.app"))));
}

TEST_F(InstallersSimulatorTest, AReviewedInstallerIsDeletedOnceLeavingNoPath) {
  app({"--size", "50000000"});
  change({"free-space", "2000000000"});
  const json item = review();
  ASSERT_TRUE(item["canDelete"].get<bool>()) << item.dump();
  EXPECT_GT(item["logicalBytes"].get<std::int64_t>(), 50000000);
  const auto [reply, status] = act("delete", item["id"]);
  EXPECT_EQ(status, 0) << reply.dump();
  EXPECT_TRUE(reply["deleted"].get<bool>()) << reply.dump();
  EXPECT_TRUE(reply["mutationStarted"].get<bool>());
  EXPECT_EQ(reply["allocatedBytesRemaining"], 0);
  EXPECT_EQ(reply["allocatedBytesBefore"], item["allocatedBytes"]);
  EXPECT_EQ(reply["freeSpaceBefore"], 2000000000);
  EXPECT_EQ(reply["freeSpaceAfter"], 2000000000);
  EXPECT_FALSE(exists(kApp));
  EXPECT_TRUE(exists("/Applications"));

  const auto [again, againStatus] = act("delete", item["id"]);
  EXPECT_EQ(againStatus, 4);
  EXPECT_EQ(again["message"], "No deletion was started. This installer review expired or was already used. Check "
                              "Installer Storage again; no deletion was started.");
}

// Root's own user flags (a locked file, an append-only folder) and flags that forbid nothing
// are no obstacle: the installer is deleted whole. A system flag, or a user flag on another
// account's file, is refused at the review naming the entry, before anything is removed.
TEST_F(InstallersSimulatorTest, FlaggedEntriesAreClearedForTheDeletionOrRefusedAtTheReview) {
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> flagged;  // entry in the bundle, flags
    std::optional<uid_t> owner;                                // of the first flagged entry
    std::string refusal;                                       // after the entry's path; empty: deleted
  };
  const std::vector<Case> cases{
      {"Install macOS Locked", {{"/Contents/Info.plist", "uchg"}, {"/Contents/SharedSupport", "uappnd"}}, {}, ""},
      {"Install macOS Hidden", {{"/Contents/MacOS/InstallAssistant", "hidden,compressed"}}, {}, ""},
      {"Install macOS System", {{"/Contents/Info.plist", "schg"}}, {},
       " carries the file flags schg, which cannot be cleared"},
      {"Install macOS Others", {{"/Contents/Info.plist", "uchg"}}, 501,
       " carries the file flags uchg and is not owned by root"},
  };
  for (const Case& c : cases) {
    const std::string bundle = "/Applications/" + c.name + ".app";
    app({"--name", c.name});
    if (c.owner) {
      ASSERT_EQ(::lchown(host(bundle + c.flagged[0].first).c_str(), *c.owner, 0), 0);
    }
    for (const auto& [entry, flags] : c.flagged) change({"file-flags", bundle + entry, flags});
    const json item = review(bundle);
    if (!c.refusal.empty()) {
      EXPECT_EQ(item["reason"], kCannotApprove + ("The installer entry " + bundle + c.flagged[0].first + c.refusal +
                                                  "; permanent deletion was not approved."));
      EXPECT_TRUE(exists(bundle + "/Contents/MacOS/InstallAssistant")) << c.name;
      continue;
    }
    ASSERT_TRUE(item["canDelete"].get<bool>()) << c.name << item.dump();
    const auto [reply, status] = act("delete", item["id"]);
    EXPECT_TRUE(reply["deleted"].get<bool>()) << c.name << reply.dump();
    EXPECT_FALSE(exists(bundle)) << c.name;
  }
}

// A helper killed part-way through a deletion (at a few points, observed on disk) leaves
// remains that the next scan offers again without the identity and signature checks they
// can no longer pass; deleting them leaves no path and no deletion record.
TEST_F(InstallersSimulatorTest, ADeletionKilledPartWayIsOfferedAgainAndFinished) {
  const std::string records = host("/Library/Application Support/Tidewarden/InstallerDeletions");
  const std::string many = host(std::string(kApp) + "/Contents/SharedSupport/many");  // outside the seal
  constexpr int kFiles = 4000;
  int leftPartial = 0;
  for (const int gone : {1, 200, 2000}) {
    app({"--resource-policy-only"});
    fs::create_directory(many);
    for (int i = 0; i < kFiles; ++i) std::ofstream(many + "/" + std::to_string(i)) << i;
    const json item = review();
    ASSERT_TRUE(item["canDelete"].get<bool>()) << item.dump();
    RunningProgram deletion({TIDEWARDEN_CTL_PATH, "--socket", socket(), "installers", "delete", item["id"],
                             "--permanent", "--no-installation-in-progress"});
    eventually(
        [&] {
          std::error_code ignored;
          return kFiles - std::distance(fs::directory_iterator(many, ignored), fs::directory_iterator()) >= gone;
        },
        std::chrono::seconds(60));
    EXPECT_TRUE(kill());
    deletion.stop(SIGKILL, std::chrono::seconds(30));
    ASSERT_TRUE(serve());
    if (exists(kApp)) {
      ++leftPartial;
      const json left = review();
      EXPECT_TRUE(startsWith(left["reason"], "An earlier deletion of this installer was interrupted")) << left.dump();
      const auto [reply, status] = act("delete", left["id"]);
      EXPECT_TRUE(reply["deleted"].get<bool>()) << gone << reply.dump();
    }
    EXPECT_FALSE(exists(kApp)) << gone;
    EXPECT_TRUE(scan()["items"].empty());
    // No record left: the folder holds only the slot set aside for one, free.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(records)) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"reserved-record.slot"}) << gone;
    EXPECT_EQ(std::ifstream(records + "/reserved-record.slot").get(), 0) << gone;
  }
  EXPECT_GT(leftPartial, 0);
}

// A deletion on a volume full to its last byte: the review set a record slot aside, the
// deletion's record goes into it, and the installer goes, leaving no record behind.
TEST_F(InstallersSimulatorTest, ADeletionWorksOnAFullVolume) {
  const auto volume = FullVolume::mountAt(host("/Library/Application Support/Tidewarden"), "size=4m,mode=0755");
  if (!volume) GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
  app();
  const json item = review();
  ASSERT_TRUE(item["canDelete"].get<bool>()) << item.dump();
  volume->fill("filler");
  const auto [reply, status] = act("delete", item["id"]);
  EXPECT_TRUE(reply["deleted"].get<bool>()) << reply.dump();
  EXPECT_FALSE(exists(kApp));
  EXPECT_TRUE(scan()["warnings"].empty());  // no record left behind
}

// What stops a deletion before anything is removed.
TEST_F(InstallersSimulatorTest, ADeletionStopsWithNothingRemoved) {
  struct Case {
    std::string name;
    std::function<void()> afterReview;
    std::string message;
  };
  const std::string bundle = kApp;
  const std::vector<Case> cases{
      {"expired", [&] { change({"set-clock", "--ahead", "301"}); },
       "This installer review expired or was already used. Check Installer Storage again; no deletion was started."},
      {"file added", [&] { std::ofstream(host(bundle + "/Contents/Resources/added")) << "new"; },
       "The reviewed installer was changed or replaced. Nothing was removed; review it again."},
      {"bundle folder changed", [&] { fs::permissions(host(bundle), fs::perms(0750)); },
       "The reviewed installer was changed or replaced. Nothing was removed; review it again."},
      {"hdiutil running", [&] { change({"start-process", "800", "/usr/bin/hdiutil", "attach", "x.dmg"}); },
       "An installer, package or disk-image operation is still running. Wait until it finishes before deleting an "
       "installer."},
      {"open file", [&] { change({"open-file", "801", "4", "/System/Volumes/Data" + bundle + "/Contents/Info.plist"}); },
       "The local installer is in use or its file activity could not be verified. Another process (PID 801)"},
  };
  app();
  for (const Case& c : cases) {
    const json item = review();
    ASSERT_TRUE(item["canDelete"].get<bool>()) << c.name << item.dump();
    c.afterReview();
    const auto [reply, status] = act("delete", item["id"]);
    EXPECT_EQ(status, 4) << c.name;
    EXPECT_TRUE(startsWith(reply["message"], "No deletion was started. " + c.message)) << c.name << reply.dump();
    EXPECT_FALSE(reply["mutationStarted"].get<bool>()) << c.name;
    EXPECT_TRUE(exists(bundle + "/Contents/Info.plist")) << c.name;
    EXPECT_TRUE(exists(bundle + "/Contents/SharedSupport/SharedSupport.dmg")) << c.name;
    change({"set-clock", "--ahead", "0"});
    fs::remove(host(bundle + "/Contents/Resources/added"));
    fs::permissions(host(bundle), fs::perms(0755));
    change({"end-process", "800"});
    change({"end-process", "801"});
  }
}

// An attached image is offered for release only; a busy image or an open file stops the release
// with nothing detached; otherwise it is detached without force, once, and the installer is then
// offered for deletion. Its backing process is not known: hdiutil lists no "hdid-pid" for it.
TEST_F(InstallersSimulatorTest, AnAttachedImageIsReleasedNormallyAndTheReviewIsUsedOnce) {
  app();
  attach(kImage, 7);
  const json item = review();
  EXPECT_FALSE(item["canDelete"].get<bool>());
  ASSERT_TRUE(item["canReleaseImages"].get<bool>()) << item.dump();
  EXPECT_EQ(item["attachedImages"],
            json::parse(R"([{"imagePath":")" + std::string(kImage) +
                        R"(","deviceIdentifier":"/dev/disk7","mountPoints":["/Volumes/Shared Support 7"]}])"));
  // The deletion review does not exist for it, and a busy detach changes nothing.
  EXPECT_EQ(act("delete", item["id"]).second, 4);
  change({"tool-fault", "hdiutil", "exit", "16", "--only", "detach"});
  const auto [busy, busyStatus] = act("release-images", item["id"]);
  EXPECT_EQ(busyStatus, 4);
  EXPECT_TRUE(startsWith(busy["message"], "Installer image release did not complete. macOS did not confirm a normal "
                                          "release of the installer image at " + std::string(kImage)))
      << busy.dump();
  EXPECT_EQ(busy["detachedImageCount"], 0);
  EXPECT_EQ(act("release-images", item["id"]).first["message"],
            "Installer image release did not complete. This image review expired or was already used. Check "
            "Installer Storage and review again. No installer files were deleted. No forced detach was attempted. "
            "Close installer or image windows, allow active operations to finish, then Check Installer Storage.");
  change({"clear-tool-faults"});
  // An open file in the installer names its process; nothing is detached.
  change({"start-process", "777", "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder"});
  change({"open-file", "777", "12", std::string("/System/Volumes/Data") + kImage});
  EXPECT_EQ(act("release-images", review()["id"]).first["message"],
            "Installer image release did not complete. Process 777 (Finder) has an open file in this installer. File: " +
                std::string(kImage) +
                ". Open Activity Monitor \u2192 View \u2192 All Processes to identify it. If it is an installer app, "
                "quit it normally. For a system service or an unfamiliar process, do not force quit it; let its work "
                "finish and check again. No image was detached. No installer files were deleted. No forced detach was "
                "attempted. Close installer or image windows, allow active operations to finish, then Check Installer "
                "Storage.");
  change({"end-process", "777"});

  const auto [released, status] = act("release-images", review()["id"]);
  EXPECT_EQ(status, 0) << released.dump();
  EXPECT_TRUE(released["released"].get<bool>());
  EXPECT_EQ(released["detachedImageCount"], 1);
  EXPECT_EQ(detachInvocations(), json::parse(R"([["detach","/dev/disk7"],["detach","/dev/disk7"]])"));
  EXPECT_TRUE(exists(kImage));
  EXPECT_TRUE(act("delete", review()["id"]).first["deleted"].get<bool>());
}

// Images the release must never touch, and the scoped limit of four.
TEST_F(InstallersSimulatorTest, OnlyReadOnlyVirtualImagesUpToFourAreEverDetached) {
  app({"--resource-policy-only"});
  const std::string folder = std::string(kApp) + "/Contents/SharedSupport/";
  for (int index = 2; index <= 5; ++index) {
    fs::copy_file(host(kImage), host(folder + "Extra" + std::to_string(index) + ".dmg"));
  }
  attach(kImage, 7, {"--writable"});
  EXPECT_TRUE(startsWith(review()["reason"], std::string(kCannotApprove) + kLayout));
  change({"detach-image", kImage});
  attach(kImage, 7, {"--shadow", "/Users/Shared/shadow"});
  EXPECT_TRUE(startsWith(review()["reason"], std::string(kCannotApprove) + kLayout));
  change({"detach-image", kImage});

  attach(kImage, 7, {"--hdid-pid", "400"});
  for (int index = 2; index <= 5; ++index) attach(folder + "Extra" + std::to_string(index) + ".dmg", 7 + index);
  EXPECT_EQ(review()["reason"], std::string(kCannotApprove) +
                                    "Installer images are duplicated, share device identities, or exceed the scoped "
                                    "release limit. No release was approved.");
  change({"detach-image", folder + "Extra5.dmg"});
  const json four = review();
  EXPECT_TRUE(four["canReleaseImages"].get<bool>()) << four.dump();
  EXPECT_EQ(four["attachedImages"].size(), 4u);

  // A device diskutil reports as physical is never detached.
  change({"detach-image", kImage});
  for (int index = 2; index <= 4; ++index) change({"detach-image", folder + "Extra" + std::to_string(index) + ".dmg"});
  attach(kImage, 7, {"--physical"});
  const auto [reply, status] = act("release-images", review()["id"]);
  EXPECT_EQ(status, 4);
  EXPECT_NE(reply["message"].get<std::string>().find(
                "The current image device could not be confirmed as the reviewed virtual disk. No physical device was "
                "selected for release."),
            std::string::npos)
      << reply.dump();
  EXPECT_EQ(reply["detachedImageCount"], 0);
  EXPECT_EQ(detachInvocations(), json::array());
}

// A tool that answers with something unreadable, or fails, never reads as "nothing there".
TEST_F(InstallersSimulatorTest, UnreadableToolAnswersApproveNothingAndDetachNothing) {
  app();
  const std::vector<std::vector<std::string>> scanFaults{
      {"hdiutil", "malformed"}, {"lsof", "malformed"}, {"ps", "malformed"}, {"lsof", "exit", "2"}, {"ps", "missing"}};
  for (std::vector<std::string> fault : scanFaults) {
    fault.insert(fault.begin(), "tool-fault");
    change(fault);
    const json item = review();
    EXPECT_FALSE(item["canDelete"].get<bool>()) << fault[1] << " " << fault[2] << ": " << item.dump();
    EXPECT_TRUE(startsWith(item["reason"], kCannotApprove)) << item.dump();
    change({"clear-tool-faults"});
  }
  attach(kImage, 7);
  for (const std::vector<std::string>& fault : std::vector<std::vector<std::string>>{
           {"tool-fault", "diskutil", "malformed"}, {"tool-fault", "lsof", "malformed"}, {"tool-fault", "ps", "malformed"}}) {
    const std::string id = review()["id"];
    change(fault);
    const auto [reply, status] = act("release-images", id);
    EXPECT_EQ(status, 4) << fault[1];
    EXPECT_FALSE(reply["released"].get<bool>()) << reply.dump();
    change({"clear-tool-faults"});
  }
  EXPECT_EQ(detachInvocations(), json::array());
}

TEST_F(InstallersSimulatorTest, TheClientNamesAMissingAcknowledgmentAndSendsNothing) {
  for (const auto& [arguments, missing] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"delete", "ID", "--no-installation-in-progress"}, "--permanent"},
           {{"delete", "ID", "--permanent"}, "--no-installation-in-progress"},
           {{"release-images", "ID", "--no-installation-in-progress"}, "--acknowledge"},
           {{"release-images", "ID", "--acknowledge"}, "--no-installation-in-progress"}}) {
    const ProgramResult result = installers(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.standardError.find("needs " + missing + ";"), std::string::npos) << result.standardError;
  }
}

}  // namespace
}  // namespace tidewarden::testing
