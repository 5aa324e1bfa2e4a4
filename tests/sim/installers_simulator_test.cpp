// Local installers over the real socket on the simulated Mac: reviews, image release and permanent deletion.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_program.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
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

class InstallersSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(simulator_.ready()) << simulator_.firstLine().value_or("no line"); }
  void TearDown() override { simulator_.stop(); }

  std::string worldDir() const { return dir_.path() + "/mac"; }
  std::string host(const std::string& logical) const { return worldDir() + "/root" + logical; }
  bool exists(const std::string& logical) const {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(host(logical), ignored));
  }
  void world(const std::vector<std::string>& arguments) {
    const ProgramResult result = runWorldVerb(worldDir(), arguments);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
  }
  // `installer app` with `options`; returns the printed bundle path.
  std::string app(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"installer", "app"});
    const ProgramResult result = runWorldVerb(worldDir(), options);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    return result.standardOutput.substr(0, result.standardOutput.find('\n'));
  }
  ProgramResult ctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {kCtl, "--socket", simulator_.socketPath(), "installers"});
    return runProgram(arguments, {}, std::chrono::seconds(120));
  }
  json scan(const std::optional<std::string>& only = std::nullopt) {
    std::vector<std::string> arguments{"scan", "--json"};
    if (only) arguments.insert(arguments.end(), {"--only", *only});
    const ProgramResult result = ctl(arguments);
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
    const ProgramResult result = ctl({verb, id, verb == "delete" ? "--permanent" : "--acknowledge",
                                      "--no-installation-in-progress", "--json"});
    return {json::parse(result.standardOutput, nullptr, false), result.exitCode};
  }
  json detachInvocations() {
    const json shown = showWorld(worldDir());
    return shown["installers"].value("detachInvocations", json::array());
  }
  void attach(const std::string& image, int disk, std::vector<std::string> options = {}) {
    const std::string whole = "/dev/disk" + std::to_string(disk);
    std::vector<std::string> verb{"attach-image", image, "--entity", whole, "--entity",
                                  whole + "s1=/Volumes/Shared Support " + std::to_string(disk), "--hdid-pid", "400"};
    verb.insert(verb.end(), options.begin(), options.end());
    world(verb);
  }

  TempDir dir_;
  ServingSimulator simulator_{dir_.path() + "/mac"};
};

// The name rule over a whole scan and the single-path rule of --only.
TEST_F(InstallersSimulatorTest, OnlyImmediateInstallMacOSApplicationsAreReviewed) {
  app();
  for (const std::string name : {"Install macOSSequoia.app", "Install macOS Sequoia.app copy",
                                 "Install macOS Se\\quoia.app", "Install macOS Se\tquoia.app", "Install macOS X.App"}) {
    ASSERT_TRUE(fs::create_directory(host("/Applications/" + name)));
  }
  const json all = scan();
  ASSERT_EQ(all["items"].size(), 1u) << all.dump();
  EXPECT_EQ(all["items"][0]["path"], kApp);
  EXPECT_TRUE(all["complete"].get<bool>());

  const std::string longName = "/Applications/Install macOS " + std::string(256 - 18, 'x') + ".app";
  for (const std::string& path : {std::string("/Applications/Sub/Install macOS Sequoia.app"), longName,
                                 std::string("/System/Volumes/Data") + kApp, std::string("/Applications/Other.app")}) {
    const json reply = scan(path);
    EXPECT_TRUE(reply["items"].empty()) << path;
    ASSERT_EQ(reply["warnings"].size(), 1u) << path;
    EXPECT_TRUE(startsWith(reply["warnings"][0], kImmediateOnly)) << path;
  }
  EXPECT_EQ(review()["reason"].get<std::string>().rfind(kDeleteReason, 0), 0u);
}

TEST_F(InstallersSimulatorTest, ThirtyThreeInstallersGiveThirtyTwoItemsAndAPartialWarning) {
  for (int index = 0; index < 33; ++index) {
    ASSERT_TRUE(fs::create_directory(host("/Applications/Install macOS " + std::to_string(100 + index) + ".app")));
  }
  const json reply = scan();
  EXPECT_EQ(reply["items"].size(), 32u);
  EXPECT_EQ(reply["items"][31]["name"], "Install macOS 131");
  EXPECT_EQ(reply["warnings"], json::array({"Only the first 32 matching local installer applications were checked. "
                                            "Results are partial."}));
  EXPECT_FALSE(reply["complete"].get<bool>());
}

// Each row makes one installer; the review's reason, and that nothing was changed.
TEST_F(InstallersSimulatorTest, EachInstallerIsApprovedOrRefusedWithItsReason) {
  struct Case {
    std::string name;
    std::vector<std::string> options;
    std::string reason;  // beginning, after "Cannot approve permanent deletion: " when refused
    bool approved = false;
  };
  const std::vector<Case> cases{
      {"Install macOS Plain", {}, kDeleteReason, true},
      {"Install macOS Seed", {"--identifier", "com.apple.InstallAssistant.Seed"}, kDeleteReason, true},
      {"Install macOS Relaxed", {"--resource-policy-only"}, kDeleteReason, true},
      {"Install macOS Bare", {"--identifier", "com.apple.InstallAssistant."},
       "The installer identifier is not a supported Apple InstallAssistant identity."},
      {"Install macOS Underscore", {"--identifier", "com.apple.InstallAssistant.Seed_1"},
       "The installer identifier is not a supported Apple InstallAssistant identity."},
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
      {"Install macOS Unsigned", {"--signer", "unsigned"},
       "Local macOS installer could not pass strict signature verification (Security status -67062)."},
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
    const std::string path = "/Applications/" + c.name + ".app";
    struct stat before {};
    ASSERT_EQ(::lstat(host(path).c_str(), &before), 0);
    const json item = review(path);
    const std::string expected = (c.approved ? "" : kCannotApprove) + c.reason;
    EXPECT_TRUE(startsWith(item.value("reason", ""), expected)) << c.name << ": " << item.dump();
    EXPECT_EQ(item.value("canDelete", !c.approved), c.approved) << c.name;
    struct stat after {};
    ASSERT_EQ(::lstat(host(path).c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
    EXPECT_EQ(after.st_uid, before.st_uid) << c.name;
  }
  EXPECT_EQ(review("/Applications/Install macOS Symlink.app")["reason"], std::string(kCannotApprove) + kOwnership);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(host("/Applications/Install macOS Symlink.app"))));
}

TEST_F(InstallersSimulatorTest, AReviewedInstallerIsDeletedOnceLeavingNoPath) {
  app({"--size", "50000000"});
  world({"free-space", "2000000000"});
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

// A helper killed part-way through a deletion (at a few points, observed on disk) leaves
// remains that the next scan offers again without the identity and signature checks they
// can no longer pass; deleting them leaves no path and no deletion record.
TEST_F(InstallersSimulatorTest, ADeletionKilledPartWayIsOfferedAgainAndFinished) {
  const std::string records = host("/Library/Application Support/Tidewarden/InstallerDeletions");
  const std::string many = host(std::string(kApp) + "/Contents/SharedSupport/many");  // outside the seal
  constexpr int kFiles = 4000;
  std::optional<ServingSimulator> restarted;
  int leftPartial = 0;
  for (const int gone : {1, 200, 2000}) {
    app({"--resource-policy-only"});
    fs::create_directory(many);
    for (int i = 0; i < kFiles; ++i) std::ofstream(many + "/" + std::to_string(i)) << i;
    const json item = review();
    ASSERT_TRUE(item["canDelete"].get<bool>()) << item.dump();
    RunningProgram deletion({kCtl, "--socket", simulator_.socketPath(), "installers", "delete", item["id"],
                             "--permanent", "--no-installation-in-progress"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      std::error_code ignored;
      const auto left = std::distance(fs::directory_iterator(many, ignored), fs::directory_iterator());
      if (kFiles - left >= gone || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(restarted ? restarted->stop(SIGKILL) : simulator_.stop(SIGKILL), 128 + SIGKILL);
    deletion.stop(SIGKILL, std::chrono::seconds(30));
    restarted.reset();
    restarted.emplace(worldDir());
    ASSERT_TRUE(restarted->ready());
    if (exists(kApp)) {
      ++leftPartial;
      const json left = review();
      EXPECT_TRUE(startsWith(left["reason"], "An earlier deletion of this installer was interrupted")) << left.dump();
      const auto [reply, status] = act("delete", left["id"]);
      EXPECT_TRUE(reply["deleted"].get<bool>()) << gone << reply.dump();
    }
    EXPECT_FALSE(exists(kApp)) << gone;
    EXPECT_TRUE(scan()["items"].empty());
    std::error_code unreadable;
    EXPECT_TRUE(fs::is_empty(records, unreadable) && !unreadable) << gone;
  }
  EXPECT_GT(leftPartial, 0);
  restarted->stop();
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
      {"expired", [&] { world({"set-clock", "--ahead", "301"}); },
       "This installer review expired or was already used. Check Installer Storage again; no deletion was started."},
      {"file added", [&] { std::ofstream(host(bundle + "/Contents/Resources/added")) << "new"; },
       "The reviewed installer was changed or replaced. Nothing was removed; review it again."},
      {"hdiutil running", [&] { world({"start-process", "800", "/usr/bin/hdiutil", "attach", "x.dmg"}); },
       "An installer, package or disk-image operation is still running. Wait until it finishes before deleting an "
       "installer."},
      {"open file", [&] { world({"open-file", "801", "4", "/System/Volumes/Data" + bundle + "/Contents/Info.plist"}); },
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
    world({"set-clock", "--ahead", "0"});
    fs::remove(host(bundle + "/Contents/Resources/added"));
    world({"end-process", "800"});
    world({"end-process", "801"});
  }
}

// An attached image is offered for release only; the release detaches it without force,
// once, and the installer is then offered for deletion.
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
  world({"tool-fault", "hdiutil", "exit", "16", "--only", "detach"});
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
  world({"clear-tool-faults"});

  const auto [released, status] = act("release-images", review()["id"]);
  EXPECT_EQ(status, 0) << released.dump();
  EXPECT_TRUE(released["released"].get<bool>());
  EXPECT_EQ(released["detachedImageCount"], 1);
  EXPECT_EQ(detachInvocations(), json::parse(R"([["detach","/dev/disk7"],["detach","/dev/disk7"]])"));
  EXPECT_TRUE(exists(kImage));
  EXPECT_TRUE(review()["canDelete"].get<bool>());
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
  world({"detach-image", kImage});
  attach(kImage, 7, {"--shadow", "/Users/Shared/shadow"});
  EXPECT_TRUE(startsWith(review()["reason"], std::string(kCannotApprove) + kLayout));
  world({"detach-image", kImage});

  attach(kImage, 7);
  for (int index = 2; index <= 5; ++index) attach(folder + "Extra" + std::to_string(index) + ".dmg", 7 + index);
  EXPECT_EQ(review()["reason"], std::string(kCannotApprove) +
                                    "Installer images are duplicated, share device identities, or exceed the scoped "
                                    "release limit. No release was approved.");
  world({"detach-image", folder + "Extra5.dmg"});
  const json four = review();
  EXPECT_TRUE(four["canReleaseImages"].get<bool>()) << four.dump();
  EXPECT_EQ(four["attachedImages"].size(), 4u);

  // A device diskutil reports as physical is never detached.
  world({"detach-image", kImage});
  for (int index = 2; index <= 4; ++index) world({"detach-image", folder + "Extra" + std::to_string(index) + ".dmg"});
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

TEST_F(InstallersSimulatorTest, AnOpenFileInTheInstallerNamesItsProcessAndNothingIsDetached) {
  app();
  attach(kImage, 7);
  world({"start-process", "777", "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder"});
  world({"open-file", "777", "12", std::string("/System/Volumes/Data") + kImage});
  const auto [reply, status] = act("release-images", review()["id"]);
  EXPECT_EQ(status, 4);
  EXPECT_EQ(reply["message"],
            "Installer image release did not complete. Process 777 (Finder) has an open file in this installer. File: " +
                std::string(kImage) +
                ". Open Activity Monitor \u2192 View \u2192 All Processes to identify it. If it is an installer app, "
                "quit it normally. For a system service or an unfamiliar process, do not force quit it; let its work "
                "finish and check again. No image was detached. No installer files were deleted. No forced detach was "
                "attempted. Close installer or image windows, allow active operations to finish, then Check Installer "
                "Storage.");
  EXPECT_EQ(detachInvocations(), json::array());
}

// A tool that answers with something unreadable, or fails, never reads as "nothing there".
TEST_F(InstallersSimulatorTest, UnreadableToolAnswersApproveNothingAndDetachNothing) {
  app();
  const std::vector<std::vector<std::string>> scanFaults{
      {"hdiutil", "malformed"}, {"lsof", "malformed"}, {"ps", "malformed"}, {"lsof", "exit", "2"}, {"ps", "missing"}};
  for (std::vector<std::string> fault : scanFaults) {
    fault.insert(fault.begin(), "tool-fault");
    world(fault);
    const json item = review();
    EXPECT_FALSE(item["canDelete"].get<bool>()) << fault[1] << " " << fault[2] << ": " << item.dump();
    EXPECT_TRUE(startsWith(item["reason"], kCannotApprove)) << item.dump();
    world({"clear-tool-faults"});
  }
  attach(kImage, 7);
  for (const std::vector<std::string>& fault : std::vector<std::vector<std::string>>{
           {"tool-fault", "diskutil", "malformed"}, {"tool-fault", "lsof", "malformed"}, {"tool-fault", "ps", "malformed"}}) {
    const std::string id = review()["id"];
    world(fault);
    const auto [reply, status] = act("release-images", id);
    EXPECT_EQ(status, 4) << fault[1];
    EXPECT_FALSE(reply["released"].get<bool>()) << reply.dump();
    world({"clear-tool-faults"});
  }
  EXPECT_EQ(detachInvocations(), json::array());
}

TEST_F(InstallersSimulatorTest, TheClientNamesAMissingAcknowledgmentAndSendsNothing) {
  for (const auto& [arguments, missing] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"delete", "ID", "--no-installation-in-progress"}, "--permanent"},
           {{"delete", "ID", "--permanent"}, "--no-installation-in-progress"},
           {{"release-images", "ID", "--no-installation-in-progress"}, "--acknowledge"},
           {{"release-images", "ID", "--acknowledge"}, "--no-installation-in-progress"}}) {
    const ProgramResult result = ctl(arguments);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.standardError.find("needs " + missing + ";"), std::string::npos) << result.standardError;
  }
}

}  // namespace
}  // namespace tidewarden::testing
