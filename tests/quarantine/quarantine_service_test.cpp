// Quarantine and restore end to end over the helper's socket, on a test Mac with scripted
// launchctl and ps: moves with their records, the manifest, roll-back, and restore.
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "helper/client_code_validator.h"
#include "helper/helper_engines.h"
#include "helper/privileged_helper_listener_delegate.h"
#include "platform/ipc_listener.h"
#include "platform/uuid.h"
#include "startup_item_fixture.h"
#include "support/platform_waits.h"
#include "support/wire_client.h"

// Fault injection at the kernel boundary: once armed, the next rename to the name
// `renameTrapName` first runs `renameTrapAction`, as if someone changed the Mac between
// the helper's last look and its move.
namespace {
std::mutex renameTrapMutex;
std::string renameTrapName;
std::function<void()> renameTrapAction;

void armRenameTrap(const std::string& name, std::function<void()> action) {
  std::lock_guard lock(renameTrapMutex);
  renameTrapName = name;
  renameTrapAction = std::move(action);
}
}  // namespace

extern "C" int renameat2(int fromDirFd, const char* from, int toDirFd, const char* to, unsigned int flags) noexcept {
  std::function<void()> action;
  {
    std::lock_guard lock(renameTrapMutex);
    if (!renameTrapName.empty() && renameTrapName == to) {
      action = std::move(renameTrapAction);
      renameTrapName.clear();
    }
  }
  if (action) action();
  return static_cast<int>(::syscall(SYS_renameat2, fromDirFd, from, toDirFd, to, flags));
}

namespace tidewarden::quarantine {
namespace {

using nlohmann::json;
using testing::StartupItemFixture;
using Signer = StartupItemFixture::Signer;

constexpr const char* kFailed = "Tidewarden could not complete the quarantine safely.";
constexpr const char* kConflict = "A file already exists at the original location, so Tidewarden did not overwrite it.";
constexpr const char* kInvalid = "The quarantine record is invalid.";
constexpr const char* kQuarantined = "The background item was disabled and moved into quarantine.";
constexpr const char* kRestored =
    "The quarantined files were restored. The startup service was not automatically re-enabled.";
const std::string kRoot = "/Library/Application Support/Tidewarden/Quarantine";
const std::string kPlist = "/Library/LaunchDaemons/com.example.updater.plist";
const std::string kScript = "/Users/Shared/.updater/run.sh";
const std::string kAgent = "/Users/Shared/.updater/agent";
const std::string kWatchdog = "while true; do pgrep agent || launchctl bootstrap system x; sleep 5; done\n";

class QuarantineServiceTest : public ::testing::Test {
 protected:
  QuarantineServiceTest() {
    auto validator = std::make_shared<const helper::ClientCodeValidator>(
        helper::SigningIdentity{"com.ambergrove.Tidewarden.PrivilegedHelper", "TEAMONE", "/helper"},
        [](pid_t, const auto&) { return helper::SigningIdentity{"com.ambergrove.Tidewarden", "TEAMONE", {}}; },
        std::nullopt);
    engines = std::make_shared<helper::HelperEngines>(mac.platform());
    delegate = std::make_unique<helper::PrivilegedHelperListenerDelegate>(validator, engines);
    socket = mac.test().rootPath() + "/helper.sock";
    listener = platform::Listener::create(socket);
    listener->setDelegate(delegate.get());
    listener->resume();

    writeItemPrograms();
    mac.writeDaemon(kPlist, "com.example.updater", {"/bin/sh", kScript});
    setLaunchctl("");
    mac.write("/bin/ps", "#!/bin/sh\necho \"$@\" >>'" + log("ps") + "'\ncat '" + log("listing") + "'\n");
    testing::writeFileBytes(log("listing"), "  101 /bin/sh " + kScript + "\n\t102\t" + kAgent +
                                                " --daemon\n  1 /sbin/launchd " + kAgent + "\n0 " + kAgent +
                                                "\n  200 /usr/sbin/syslogd\n\n");
  }

  // A watchdog script that starts a hidden ad hoc agent: 5 + 2 + 3 points, 4 kinds.
  void writeItemPrograms() {
    mac.writeScript(kScript, kWatchdog + "exec '" + kAgent + "' --daemon\n");
    mac.writeProgram(kAgent, Signer::adhoc, "agent");
  }
  // Where the scripted tools write what they were asked, outside the test Mac's root.
  std::string log(const std::string& name) { return logs.path() + "/" + name; }
  // launchctl records its arguments, then runs `then` (to change the Mac mid-quarantine).
  void setLaunchctl(const std::string& then) {
    mac.write("/bin/launchctl", "#!/bin/sh\necho \"$@\" >>'" + log("launchctl") + "'\nROOT='" +
                                    mac.test().rootPath() + "'\n" + then + "\n");
  }
  std::string logText(const std::string& name) {
    return std::filesystem::exists(log(name)) ? testing::readFileBytes(log(name)) : "";
  }

  json call(const std::string& selector, const json& request) {
    testing::WireClient client(socket);
    const auto reply = client.call(selector, request.dump());
    EXPECT_TRUE(reply);
    return reply ? json::parse(*reply) : json();
  }
  json quarantine(const std::string& label = "com.example.updater", const std::string& plist = kPlist) {
    return call("quarantineBackgroundItem:withReply:",
                {{"label", label}, {"plistPath", plist}, {"relatedPaths", json::array()}});
  }
  // Quarantines the item, which must succeed; its ID.
  std::string quarantined(const std::string& label = "com.example.updater") {
    const json reply = quarantine(label);
    EXPECT_EQ(reply.value("success", false), true) << reply.dump();
    return reply.value("quarantineID", "");
  }
  json restore(const std::string& id) { return call("restoreQuarantineItem:withReply:", {{"quarantineID", id}}); }
  static json restored(const std::string& id) { return {{"success", true}, {"message", kRestored}, {"quarantineID", id}}; }
  static json failure(const std::string& message) { return {{"success", false}, {"message", message}}; }

  // The sorted names in a folder of the test Mac; none when it is missing.
  std::vector<std::string> entries(const std::string& logical) {
    std::vector<std::string> names;
    if (!mac.exists(logical)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(mac.host(logical))) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> folderEntries(const std::string& id) { return entries(kRoot + "/" + id); }
  std::vector<std::string> quarantineFolders() { return entries(kRoot); }

  testing::TempDir logs;
  StartupItemFixture mac;
  std::shared_ptr<helper::HelperEngines> engines;
  std::unique_ptr<helper::PrivilegedHelperListenerDelegate> delegate;
  std::string socket;
  std::unique_ptr<platform::Listener> listener;
};

TEST_F(QuarantineServiceTest, QuarantineMovesTheItemWithItsRecordsAndRestorePutsItBack) {
  const std::string plistBytes = mac.read(kPlist);
  const std::string agentBytes = mac.read(kAgent);
  const double started = mac.test().clock.now();
  const json reply = quarantine();
  ASSERT_EQ(reply.at("success"), true) << reply.dump();
  EXPECT_EQ(reply.at("message"), kQuarantined);
  const std::string id = reply.at("quarantineID");
  EXPECT_EQ(platform::parseUuidString(id), id);

  // Booted out, 250 ms given to launchd, and only the processes running a moved file
  // (never pid 0 or 1) asked to terminate.
  EXPECT_EQ(logText("launchctl"), "bootout system " + kPlist + "\n");
  EXPECT_EQ(logText("ps"), "-axo pid=,args=\n");
  EXPECT_EQ(mac.test().signals.sent, (std::vector<std::pair<pid_t, int>>{{101, SIGTERM}, {102, SIGTERM}}));
  EXPECT_DOUBLE_EQ(mac.test().clock.now(), started + 0.25);

  const std::string folder = kRoot + "/" + id;
  EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"0-run.sh", "1-agent", "manifest.json",
                                                         "startup-com.example.updater.plist"}));
  for (const std::string& original : {kPlist, kScript, kAgent}) EXPECT_FALSE(mac.exists(original)) << original;
  const json manifest = json::parse(mac.read(folder + "/manifest.json"));
  EXPECT_EQ(manifest, (json{{"id", id},
                            {"label", "com.example.updater"},
                            {"createdAt", started + 0.25},
                            {"state", "complete"},
                            {"records",
                             {{{"original", kPlist},
                               {"quarantined", folder + "/startup-com.example.updater.plist"},
                               {"state", "moved"}},
                              {{"original", kScript}, {"quarantined", folder + "/0-run.sh"}, {"state", "moved"}},
                              {{"original", kAgent}, {"quarantined", folder + "/1-agent"}, {"state", "moved"}}}}}));
  struct stat st {};
  ASSERT_EQ(::stat(mac.host(folder).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(mac.host(folder + "/manifest.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  EXPECT_EQ(restore(id), restored(id));
  EXPECT_EQ(mac.read(kPlist), plistBytes);
  EXPECT_EQ(mac.read(kAgent), agentBytes);
  EXPECT_TRUE(mac.exists(kScript));
  EXPECT_EQ(folderEntries(id), std::vector<std::string>{"manifest.json"});
  // Not loaded again: launchctl was not run by the restore.
  EXPECT_EQ(logText("launchctl"), "bootout system " + kPlist + "\n");

  // Everything is back, so a second restore finds its places taken and moves nothing.
  EXPECT_EQ(restore(id), failure(kConflict));
  EXPECT_EQ(folderEntries(id), std::vector<std::string>{"manifest.json"});
}

TEST_F(QuarantineServiceTest, AProgramOutsideTheMovableLocationsStaysAndOnlyThePropertyListMoves) {
  // Apple-like label, ad hoc, hidden, owned by a person: 4 + 2 + 1 + 1 points, 4 kinds.
  mac.writeProgram("/usr/local/.vendor/agent", Signer::adhoc, "agent");
  mac.chown("/usr/local/.vendor/agent", 501);
  mac.writeDaemon(kPlist, "com.apple.updater", {"/usr/local/.vendor/agent"});
  const std::string id = quarantined("com.apple.updater");
  EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"manifest.json", "startup-com.example.updater.plist"}));
  EXPECT_TRUE(mac.exists("/usr/local/.vendor/agent"));
  EXPECT_EQ(logText("ps"), "");  // nothing to stop
  EXPECT_TRUE(mac.test().signals.sent.empty());

  // An item that does not add up is refused before anything happens.
  mac.writeProgram("/usr/local/.vendor/agent", Signer::developer, "com.example.agent");
  mac.writeDaemon(kPlist, "com.example.updater", {"/usr/local/.vendor/agent"});
  EXPECT_EQ(quarantine(), failure("Tidewarden could not independently confirm enough warning signs to safely "
                                  "quarantine this item."));
  EXPECT_EQ(quarantineFolders().size(), 1u);
  EXPECT_EQ(logText("launchctl"), "bootout system " + kPlist + "\n");
}

TEST_F(QuarantineServiceTest, TheReplySaysWhatDidNotHappen) {
  const std::string ps = "#!/bin/sh\necho \"$@\" >>'" + log("ps") + "'\n";
  const std::string listing = ps + "cat '" + log("listing") + "'";
  const std::vector<std::pair<pid_t, int>> stopped = {{101, SIGTERM}, {102, SIGTERM}};
  // More quoted paths than are examined, the agent after them.
  std::string manyPaths = kWatchdog;
  for (int i = 0; i < 1025; ++i) manyPaths += "# '/absent/" + std::to_string(i) + "'\n";
  manyPaths += "exec '" + kAgent + "' --daemon\n";
  struct Case {
    std::optional<std::string> launchctl;  // its body; nothing: it is missing
    std::string ps;
    std::vector<std::pair<pid_t, int>> signals;
    std::string notes;
    std::size_t records;
    std::string script = {};  // the item's script when not the usual one
  };
  const Case cases[] = {
      {std::nullopt, listing, stopped,
       " The startup service may still be loaded: Cannot start /bin/launchctl: No such file or directory.", 3},
      {"kill -HUP $$", listing, stopped, " The startup service may still be loaded: launchctl was ended by signal 1.", 3},
      {"exit 3", ps + "kill -HUP $$", {},
       " The startup service may still be loaded: launchctl ended with exit status 3. No running program of the "
       "item was stopped: ps was ended by signal 1.",
       3},
      {"", listing + "; echo 'abc " + kAgent + "'", stopped,
       " Some lines of the process list could not be read, so a running program of the item may not have been "
       "stopped.",
       3},
      {"rm \"$ROOT" + kAgent + "\"", listing, stopped, " " + kAgent + " was not moved: it was no longer there.", 2},
      // The related program cannot be told, so it counts as unknown and stays where it is.
      {"", listing, {{101, SIGTERM}},
       " The script names more than 1024 quoted paths, so Tidewarden could not tell which program it runs and "
       "counted that program as unknown evidence. A program the script runs may have been left in place.",
       2, manyPaths},
      // Last: the programs' folder is gone too.
      {"rm -r \"$ROOT/Users/Shared/.updater\"", listing, stopped,
       " " + kScript + " was not moved: it was no longer there. " + kAgent + " was not moved: it was no longer there.",
       1},
  };
  const std::string plistBytes = mac.read(kPlist);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.notes);
    if (c.launchctl) {
      setLaunchctl(*c.launchctl);
    } else {
      std::filesystem::remove(mac.host("/bin/launchctl"));
    }
    if (!c.script.empty()) mac.writeScript(kScript, c.script);
    mac.write("/bin/ps", c.ps);
    mac.test().signals.sent.clear();
    const json reply = quarantine();
    ASSERT_EQ(reply.at("success"), true) << reply.dump();
    EXPECT_EQ(reply.at("message"), kQuarantined + c.notes);
    EXPECT_EQ(mac.test().signals.sent, c.signals);
    const std::string id = reply.at("quarantineID");
    EXPECT_EQ(json::parse(mac.read(kRoot + "/" + id + "/manifest.json")).at("records").size(), c.records);
    // Back for the next case.
    std::filesystem::remove(mac.host(kAgent));
    EXPECT_EQ(restore(id).at("success"), true);
    writeItemPrograms();
    EXPECT_EQ(mac.read(kPlist), plistBytes);
  }
}

TEST_F(QuarantineServiceTest, TheHelpersOwnStateIsNeverMovedEvenWhenAScriptNamesIt) {
  const std::string otherManifest = kRoot + "/4D2C8B1A-0000-4000-8000-000000000001/manifest.json";
  for (const std::string& own : {std::string("/Library/Application Support/Tidewarden/FanControl/lease.json"),
                                 otherManifest}) {
    SCOPED_TRACE(own);
    mac.write(own, "{}", 0600);
    mac.writeScript(kScript, kWatchdog + "exec '" + own + "'\n");
    mac.writeDaemon(kPlist, "com.apple.updater", {"/bin/sh", kScript});
    const std::string id = quarantined("com.apple.updater");
    EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"0-run.sh", "manifest.json",
                                                           "startup-com.example.updater.plist"}));
    EXPECT_EQ(mac.read(own), "{}");
    EXPECT_EQ(restore(id).at("success"), true);
  }
}

TEST_F(QuarantineServiceTest, AnyUnsafeMoveRollsEverythingBack) {
  const std::string plistBytes = mac.read(kPlist);
  const std::vector<std::string> changes = {
      // The destination of the first program is taken.
      "for d in \"$ROOT" + kRoot + "\"/*/; do echo planted > \"$d/0-run.sh\"; done",
      // The agent became a link.
      "rm \"$ROOT" + kAgent + "\" && ln -s run.sh \"$ROOT" + kAgent + "\"",
      // The agent was replaced by another file.
      "rm \"$ROOT" + kAgent + "\" && echo other > \"$ROOT" + kAgent + "\"",
      // The agent's folder was swapped for another one holding an agent of its own.
      "mv \"$ROOT/Users/Shared/.updater\" \"$ROOT/Users/Shared/.old\" && mkdir \"$ROOT/Users/Shared/.updater\" && "
      "cp \"$ROOT/Users/Shared/.old/run.sh\" \"$ROOT/Users/Shared/.old/agent\" \"$ROOT/Users/Shared/.updater/\"",
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(changes[i]);
    setLaunchctl(changes[i]);
    EXPECT_EQ(quarantine(), failure(kFailed));
    EXPECT_EQ(mac.read(kPlist), plistBytes);
    EXPECT_TRUE(mac.exists(kScript));
    EXPECT_TRUE(mac.exists(kAgent));
    // Everything went back, so the folder went too; only the one holding a planted file
    // stays, with a manifest that lists nothing to restore.
    ASSERT_EQ(quarantineFolders().size(), 1u);
    const std::string kept = quarantineFolders().front();
    EXPECT_EQ(folderEntries(kept), (std::vector<std::string>{"0-run.sh", "manifest.json"}));
    const json manifest = json::parse(mac.read(kRoot + "/" + kept + "/manifest.json"));
    EXPECT_EQ(manifest.at("state"), "rolledBack");
    EXPECT_EQ(manifest.at("records"), json::array());
    if (i == 3) {  // the swapped-in folder's files were left alone too
      EXPECT_EQ(mac.read("/Users/Shared/.old/agent"), mac.read(kAgent));
      EXPECT_TRUE(mac.exists("/Users/Shared/.old/run.sh"));
    }
    // Put the item back as it was for the next case (never writing through a link).
    std::filesystem::remove_all(mac.host("/Users/Shared/.old"));
    std::filesystem::remove(mac.host(kAgent));
    writeItemPrograms();
  }
}

TEST_F(QuarantineServiceTest, RestoreRefusesRecordsItCannotTrustOrPlacesThatAreTaken) {
  EXPECT_EQ(restore("not-a-uuid"), failure(kInvalid));
  EXPECT_EQ(restore("../../../../LaunchDaemons/x"), failure(kInvalid));
  const std::string id = quarantined();
  const std::string manifestPath = kRoot + "/" + id + "/manifest.json";
  const std::string manifest = mac.read(manifestPath);

  // A manifest naming another quarantine.
  json other = json::parse(manifest);
  other["id"] = platform::makeUuidString();
  mac.write(manifestPath, other.dump(), 0600);
  EXPECT_EQ(restore(id), failure(kInvalid));
  mac.write(manifestPath, manifest, 0600);

  // The property list was made again meanwhile: it is not overwritten, the programs go
  // back, and a later restore brings the rest once its place is free.
  mac.write(kPlist, "recreated", 0644);
  EXPECT_EQ(restore(id), failure(std::string(kConflict) + " Restored: " + kScript + "; " + kAgent +
                                 ". Still in quarantine: " + kPlist + " (a file already exists there)."));
  EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"manifest.json", "startup-com.example.updater.plist"}));
  EXPECT_EQ(mac.read(kPlist), "recreated");
  EXPECT_TRUE(mac.exists(kScript) && mac.exists(kAgent));
  std::filesystem::remove(mac.host(kPlist));
  EXPECT_EQ(restore(id), restored(id));
  EXPECT_EQ(folderEntries(id), std::vector<std::string>{"manifest.json"});
}

TEST_F(QuarantineServiceTest, RestoreMovesTheLastMovedFileFirstAndNeverOverwrites) {
  const std::string agentBytes = mac.read(kAgent);
  const std::string id = quarantined();
  const std::string folder = kRoot + "/" + id;
  // Two records for one place: the later one is restored, the earlier one then finds the
  // place taken and is left in quarantine; the rest goes back.
  json manifest = json::parse(mac.read(folder + "/manifest.json"));
  manifest["records"][1]["original"] = "/Users/Shared/restored/file";
  manifest["records"][2]["original"] = "/Users/Shared/restored/file";
  mac.write(folder + "/manifest.json", manifest.dump(), 0600);
  EXPECT_EQ(restore(id), failure(std::string(kConflict) + " Restored: " + kPlist +
                                 "; /Users/Shared/restored/file. Still in quarantine: /Users/Shared/restored/file "
                                 "(a file already exists there)."));
  EXPECT_EQ(mac.read("/Users/Shared/restored/file"), agentBytes);
  EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"0-run.sh", "manifest.json"}));
  EXPECT_TRUE(mac.exists(kPlist));
}

TEST_F(QuarantineServiceTest, TwoQuarantinesOrRestoresOfOneItemAtOnceLoseNothing) {
  const std::string agentBytes = mac.read(kAgent);
  // Both are past their evaluation before either moves anything: each launchctl waits
  // for the file the test makes once both have started.
  setLaunchctl("while [ ! -e '" + log("go") + "' ]; do sleep 0.01; done");
  auto first = std::async(std::launch::async, [&] { return quarantine(); });
  auto second = std::async(std::launch::async, [&] { return quarantine(); });
  testing::eventually([&] { return std::ranges::count(logText("launchctl"), '\n') >= 2; }, std::chrono::seconds(60));
  testing::writeFileBytes(log("go"), "");
  const json replies[] = {first.get(), second.get()};
  const int successes = (replies[0].at("success") == true) + (replies[1].at("success") == true);
  ASSERT_EQ(successes, 1) << replies[0].dump() << replies[1].dump();
  const json& won = replies[0].at("success") == true ? replies[0] : replies[1];
  const json& lost = replies[0].at("success") == true ? replies[1] : replies[0];
  // The loser finds the item gone either at its re-check or at the move itself.
  EXPECT_TRUE(lost == failure(kFailed) ||
              lost == failure("Cannot move " + std::string(kPlist) + " into quarantine: No such file or directory"))
      << lost.dump();
  const std::string id = won.at("quarantineID");
  EXPECT_EQ(json::parse(mac.read(kRoot + "/" + id + "/manifest.json")).at("records").size(), 3u);
  EXPECT_EQ(quarantineFolders(), std::vector<std::string>{id});  // the loser's was rolled back and removed

  auto restoreOne = std::async(std::launch::async, [&] { return restore(id); });
  auto restoreTwo = std::async(std::launch::async, [&] { return restore(id); });
  const json restores[] = {restoreOne.get(), restoreTwo.get()};
  EXPECT_TRUE(restores[0].at("success") == true || restores[1].at("success") == true);
  for (const json& reply : restores) {
    if (reply.at("success") != true) {
      EXPECT_EQ(reply, failure(kConflict));
    }
  }
  EXPECT_EQ(mac.read(kAgent), agentBytes);
  EXPECT_TRUE(mac.exists(kPlist) && mac.exists(kScript));
  EXPECT_EQ(folderEntries(id), std::vector<std::string>{"manifest.json"});
}

TEST_F(QuarantineServiceTest, AMoveBackThatFailsIsReportedAndALaterRestoreFinishesTheRest) {
  const std::string id = quarantined();
  const std::string folder = kRoot + "/" + id;
  armRenameTrap("agent", [&] {
    std::error_code ignored;
    std::filesystem::remove(mac.host("/Users/Shared/.updater"), ignored);
  });
  // The agent's folder vanishes under its move: an ENOENT while the agent is still in
  // quarantine, which is a failure, not a file some other restore took.
  EXPECT_EQ(restore(id), failure("Tidewarden could not restore every quarantined file. Restored: " + kPlist + "; " +
                                 kScript + ". Still in quarantine: " + kAgent + " (Cannot move " + folder +
                                 "/1-agent back to " + kAgent + ": No such file or directory)."));
  EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"1-agent", "manifest.json"}));
  EXPECT_EQ(restore(id), restored(id));
  EXPECT_TRUE(mac.exists(kAgent) && mac.exists(kScript) && mac.exists(kPlist));
}

// The agent is swapped for another file between the helper's last look and its move: the
// swapped-in file goes back where it was, and what had moved goes back too.
TEST_F(QuarantineServiceTest, AFileSwappedInAtItsMoveGoesBackAndTheQuarantineIsUndone) {
  const std::string plistBytes = mac.read(kPlist);
  armRenameTrap("1-agent", [&] {
    std::error_code ignored;
    std::filesystem::remove(mac.host(kAgent), ignored);
    mac.write(kAgent, "another program", 0755);
  });
  EXPECT_EQ(quarantine(), failure(kFailed));
  EXPECT_EQ(mac.read(kAgent), "another program");
  EXPECT_EQ(mac.read(kPlist), plistBytes);
  EXPECT_TRUE(mac.exists(kScript));
  EXPECT_EQ(quarantineFolders(), std::vector<std::string>{});
}

TEST_F(QuarantineServiceTest, AtStartUpAnUnfinishedQuarantineIsRolledBackAndWhatCannotGoBackStaysRestorable) {
  const std::string plistBytes = mac.read(kPlist);
  // A helper killed mid-quarantine: the property list moved and recorded, the script
  // moved but not yet recorded, the agent not moved; and the property list's place
  // was taken again since.
  const std::string id = quarantined();
  const std::string folder = kRoot + "/" + id;
  std::filesystem::rename(mac.host(folder + "/1-agent"), mac.host(kAgent));
  mac.write(kPlist, "recreated", 0644);
  json moving = json::parse(mac.read(folder + "/manifest.json"));
  moving["state"] = "moving";
  moving["records"][1]["state"] = moving["records"][2]["state"] = "pending";
  mac.write(folder + "/manifest.json", moving.dump(), 0600);
  // Killed before its manifest, a write cut short, a manifest nobody can read, not ours.
  const std::string empty = kRoot + "/1B5E8A20-3C4D-4E5F-8A9B-0C1D2E3F4A5B";
  const std::string cutShort = kRoot + "/2C6F9B31-4D5E-4F60-9BAC-1D2E3F4A5B6C";
  const std::string garbled = kRoot + "/3D7AAC42-5E6F-4071-ACBD-2E3F4A5B6C7D";
  std::filesystem::create_directories(mac.host(empty));
  mac.write(cutShort + "/.manifest.json.pending", "{\"id\":", 0600);
  mac.write(garbled + "/manifest.json", "not json", 0600);
  mac.write(garbled + "/0-agent", "kept", 0755);
  mac.write(kRoot + "/notes/readme", "kept", 0644);

  engines->quarantineRecovery.schedule();
  engines->quarantineRecovery.run();

  EXPECT_TRUE(mac.exists(kScript));
  EXPECT_EQ(mac.read(kPlist), "recreated");
  EXPECT_EQ(folderEntries(id), (std::vector<std::string>{"manifest.json", "startup-com.example.updater.plist"}));
  const json rolledBack = json::parse(mac.read(folder + "/manifest.json"));
  EXPECT_EQ(rolledBack.at("state"), "rolledBack");
  EXPECT_EQ(rolledBack.at("records"), json::array({moving.at("records").at(0)}));
  for (const std::string& gone : {empty, cutShort}) EXPECT_FALSE(mac.exists(gone)) << gone;
  EXPECT_EQ(mac.read(garbled + "/0-agent"), "kept");
  EXPECT_TRUE(mac.exists(kRoot + "/notes/readme"));

  std::filesystem::remove(mac.host(kPlist));
  EXPECT_EQ(restore(id), (json{{"success", true},
                               {"message", std::string(kRestored) + " This quarantine had not finished when the "
                                                                    "helper stopped; the files it had moved were put "
                                                                    "back."},
                               {"quarantineID", id}}));
  EXPECT_EQ(mac.read(kPlist), plistBytes);
}

}  // namespace
}  // namespace tidewarden::quarantine
