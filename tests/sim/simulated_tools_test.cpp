// The simulated system tools: their answers from the world, the world verbs that set them,
// and the installed multi-call program run as a real child.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/property_list.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_tools.h"
#include "sim/world.h"
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace tidewarden::sim {
namespace {

using testing::ProgramResult;
using testing::runProgram;

std::vector<std::string> args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(SimulatedToolAnswers, LsofPrintsFieldRecordsByProcessAndExitsAsLsofDoes) {
  WorldTools world;
  world.openFiles = {{611, "cwd", "/System/Volumes/Data/Users/Shared/T/a"},
                     {44, "3", "/private/var/tmp/W/x"},
                     {611, "12", "/Users/Shared/T/b"}};
  SimulatedToolAnswer answer = answerSimulatedTool(WorldTool::lsof, args({"-nP", "-Fpn", "+D", "/Users/Shared/T"}), world);
  EXPECT_EQ(answer.standardOutput, "p611\nfcwd\nn/System/Volumes/Data/Users/Shared/T/a\nf12\nn/Users/Shared/T/b\n");
  EXPECT_EQ(answer.status, 0);
  // The /var link and the directory itself count.
  answer = answerSimulatedTool(WorldTool::lsof, args({"-nP", "-Fpn", "+D", "/var/tmp/W/"}), world);
  EXPECT_EQ(answer.standardOutput, "p44\nf3\nn/private/var/tmp/W/x\n");
  answer = answerSimulatedTool(WorldTool::lsof, args({"-nP", "-Fpn", "+D", "/Users/Shared/Tx"}), world);
  EXPECT_EQ(answer.standardOutput, "");
  EXPECT_EQ(answer.status, 1);
  answer = answerSimulatedTool(WorldTool::lsof, args({"-nP", "-Fpn", "/Users/Shared/T/a", "/Users/Shared/T/c"}), world);
  EXPECT_EQ(answer.standardOutput, "p611\nfcwd\nn/System/Volumes/Data/Users/Shared/T/a\n");
  EXPECT_EQ(answer.status, 1);
  answer = answerSimulatedTool(WorldTool::lsof, args({"-nP", "-Fpn", "/Users/Shared/T/a"}), world);
  EXPECT_EQ(answer.status, 0);
  answer = answerSimulatedTool(WorldTool::lsof, args({"-i"}), world);
  EXPECT_EQ(answer.standardError, "lsof: not simulated yet\n");
  EXPECT_EQ(answer.status, 1);
}

TEST(SimulatedToolAnswers, PsListsProcessesInPidOrderInEachForm) {
  WorldTools world;
  world.processes = {{402, "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder", {}},
                     {1, "/sbin/launchd", {}},
                     {12345, "/usr/sbin/pkgutil", {"--expand-full", "/a b.pkg", "/x"}}};
  EXPECT_EQ(answerSimulatedTool(WorldTool::ps, args({"-axo", "comm="}), world).standardOutput,
            "/sbin/launchd\n/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder\n/usr/sbin/pkgutil\n");
  EXPECT_EQ(answerSimulatedTool(WorldTool::ps, args({"-axo", "pid=,args="}), world).standardOutput,
            "    1 /sbin/launchd\n  402 /System/Library/CoreServices/Finder.app/Contents/MacOS/Finder\n"
            "12345 /usr/sbin/pkgutil --expand-full /a b.pkg /x\n");
  SimulatedToolAnswer one = answerSimulatedTool(WorldTool::ps, args({"-p", "402", "-o", "comm="}), world);
  EXPECT_EQ(one.standardOutput, "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder\n");
  EXPECT_EQ(one.status, 0);
  one = answerSimulatedTool(WorldTool::ps, args({"-p", "403", "-o", "comm="}), world);
  EXPECT_EQ(one.standardOutput, "");
  EXPECT_EQ(one.status, 1);
}

TEST(SimulatedToolAnswers, HdiutilInfoDescribesEveryAttachedImage) {
  WorldTools world;
  world.images = {{"/Users/Shared/a.dmg",
                   {{"/dev/disk5", std::nullopt}, {"/dev/disk5s1", "/Volumes/A"}},
                   true, false, true, "/private/tmp/a.shadow", 733}};
  const SimulatedToolAnswer answer = answerSimulatedTool(WorldTool::hdiutil, args({"info", "-plist"}), world);
  ASSERT_EQ(answer.status, 0);
  const auto list = platform::PropertyList::parse(answer.standardOutput, 1 << 20);
  ASSERT_TRUE(list);
  const platform::PlistNode image = list->root().get("images").at(0);
  EXPECT_EQ(image.get("image-path").asString(), "/Users/Shared/a.dmg");
  EXPECT_EQ(image.get("writeable").asBool(), true);
  EXPECT_EQ(image.get("image-encrypted").asBool(), true);
  EXPECT_EQ(image.get("system-image").asBool(), false);
  EXPECT_EQ(image.get("shadow-path").asString(), "/private/tmp/a.shadow");
  EXPECT_EQ(image.get("hdid-pid").asInteger(), 733);
  EXPECT_EQ(image.get("system-entities").size(), 2u);
  EXPECT_FALSE(image.get("system-entities").at(0).get("mount-point").valid());
  EXPECT_EQ(image.get("system-entities").at(1).get("mount-point").asString(), "/Volumes/A");
  for (WorldTool tool : {WorldTool::hdiutil, WorldTool::diskutil, WorldTool::pkgutil}) {
    const SimulatedToolAnswer other = answerSimulatedTool(tool, args({"detach", "/dev/disk5"}), world);
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(other.standardError, std::string(platform::json::rawValue(tool)) + ": not simulated yet\n");
  }
}

// The message of the WorldError that decoding `text` throws, or "decoded".
std::string decodeRefusal(const std::string& text) {
  try {
    WorldRecord::fromJson(nlohmann::json::parse(text));
    return "decoded";
  } catch (const WorldError& error) {
    return error.what();
  }
}

TEST(SimulatedToolWorld, TheToolsSectionRoundTripsAndIsCheckedInWorldTerms) {
  WorldRecord world;
  world.tools = freshWorldTools();
  world.tools.openFiles = {{611, "cwd", "/Users/Shared/x"}};
  world.tools.images = {{"/a.dmg", {{"/dev/disk4s1", "/Volumes/A"}}, true, false, false, "/a.shadow", 7}};
  world.tools.bootouts = {"/Library/LaunchDaemons/x.plist"};
  world.tools.faults = {{WorldTool::ps, WorldToolFaultKind::exit, 3, std::nullopt},
                        {WorldTool::lsof, WorldToolFaultKind::malformed, std::nullopt, "x"}};
  EXPECT_EQ(WorldRecord::fromJson(world.toJson()).tools, world.tools);
  // A world written before the tools existed has none of them.
  EXPECT_EQ(WorldRecord::fromJson(nlohmann::json::parse(R"({"format":1})")).tools, WorldTools{});

  const std::string prefix = R"({"format":1,"tools":{"openFiles":[],"processes":[],"images":[],"bootouts":[],)";
  const std::vector<std::pair<std::string, std::string>> cases{
      {prefix + R"("faults":[{"tool":"ps","kind":"exit"}]}})",
       "The world value \"tools.faults[0].status\" must be an exit status from 0 to 255."},
      {prefix + R"("faults":[{"tool":"ps","kind":"signal","status":19}]}})",
       "The world value \"tools.faults[0].status\" must be the number of a signal that ends a process."},
      {prefix + R"("faults":[{"tool":"ps","kind":"hang"},{"tool":"ps","kind":"flood"}]}})",
       "The world value \"tools.faults[1].tool\" names a tool that already has a fault."},
      {prefix + R"("faults":[{"tool":"ls","kind":"hang"}]}})", "The world value \"tools.faults[0].tool\" has an unknown value \"ls\"."},
      {R"({"format":1,"tools":{"openFiles":[{"pid":0,"descriptor":"3","path":"/x"}],"processes":[],"images":[],"bootouts":[],"faults":[]}})",
       "The world value \"tools.openFiles[0].pid\" is out of range (1 to 99999)."},
      {R"({"format":1,"tools":{"openFiles":[],"processes":[],"bootouts":[],"faults":[],"images":[{"imagePath":"/a","entities":[{"devEntry":"disk4"}],"writable":false,"systemImage":false,"encrypted":false,"hdidPid":0}]}})",
       "The world value \"tools.images[0].entities[0].devEntry\" must be a /dev/ path."},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(decodeRefusal(text), message) << text;
  EXPECT_EQ(decodeRefusal(prefix + R"("faults":[{"tool":"ps","kind":"exit","status":255}]}})"), "decoded");
}

// A simulated Mac made by tidewarden-sim itself, changed with its world verbs.
class SimulatedToolProgramTest : public ::testing::Test {
 protected:
  ProgramResult world(const std::vector<std::string>& verb) {
    std::vector<std::string> argv{TIDEWARDEN_SIM_PATH, "world", "--root", directory()};
    argv.insert(argv.end(), verb.begin(), verb.end());
    return runProgram(argv);
  }
  std::string directory() const { return dir_.path() + "/mac"; }
  std::string tool(const std::string& path) const { return directory() + "/root" + path; }
  nlohmann::json shownTools() { return nlohmann::json::parse(world({"show"}).standardOutput)["tools"]; }

  void SetUp() override {
    // A world and its root as the simulator lays them out, with the tools installed.
    SimulatedMac mac(directory(), {});
    installSimulatedTools(mac.platform().root, TIDEWARDEN_SIM_TOOL_PATH, {});
  }

  testing::TempDir dir_;
};

TEST_F(SimulatedToolProgramTest, VerbsSetWhatTheInstalledToolsAnswer) {
  for (const char* path : {"/usr/sbin/lsof", "/bin/ps", "/usr/bin/hdiutil", "/usr/sbin/diskutil", "/usr/sbin/pkgutil",
                           "/bin/launchctl"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(tool(path).c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0755) << path;
  }
  EXPECT_EQ(world({"open-file", "611", "cwd", "/Users/Shared/x"}).exitCode, 0);
  EXPECT_EQ(world({"start-process", "900", "/usr/sbin/pkgutil", "--expand-full", "/a.pkg"}).exitCode, 0);
  EXPECT_EQ(world({"attach-image", "/Users/Shared/a.dmg", "--entity", "/dev/disk5s1=/Volumes/A", "--writable"}).exitCode,
            0);
  const nlohmann::json tools = shownTools();
  EXPECT_EQ(tools["openFiles"], nlohmann::json::parse(R"([{"pid":611,"descriptor":"cwd","path":"/Users/Shared/x"}])"));
  EXPECT_EQ(tools["processes"].back(),
            nlohmann::json::parse(R"({"pid":900,"command":"/usr/sbin/pkgutil","arguments":["--expand-full","/a.pkg"]})"));
  EXPECT_EQ(tools["images"][0]["entities"][0]["mountPoint"], "/Volumes/A");

  ProgramResult lsof = runProgram({tool("/usr/sbin/lsof"), "-nP", "-Fpn", "+D", "/Users/Shared"});
  EXPECT_EQ(lsof.standardOutput, "p611\nfcwd\nn/Users/Shared/x\n");
  EXPECT_EQ(lsof.exitCode, 0);
  ProgramResult bootout = runProgram({tool("/bin/launchctl"), "bootout", "system", "/Library/LaunchDaemons/x.plist"});
  EXPECT_EQ(bootout.exitCode, 0);
  EXPECT_EQ(shownTools()["bootouts"], nlohmann::json::parse(R"(["/Library/LaunchDaemons/x.plist"])"));

  EXPECT_EQ(world({"end-process", "611"}).exitCode, 0);
  EXPECT_EQ(world({"detach-image", "/dev/disk5s1"}).exitCode, 0);
  EXPECT_TRUE(shownTools()["openFiles"].empty());
  EXPECT_TRUE(shownTools()["images"].empty());
  const ProgramResult again = world({"detach-image", "/dev/disk5s1"});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.standardError.find("No attached image is /dev/disk5s1; nothing was changed."), std::string::npos);
}

TEST_F(SimulatedToolProgramTest, FaultsMakeToolsMisbehaveOrDisappearUntilCleared) {
  ASSERT_EQ(world({"tool-fault", "ps", "exit", "3"}).exitCode, 0);
  ProgramResult ps = runProgram({tool("/bin/ps"), "-axo", "comm="});
  EXPECT_EQ(ps.exitCode, 3);
  EXPECT_NE(ps.standardOutput.find("/sbin/launchd\n"), std::string::npos);  // still its answer
  ASSERT_EQ(world({"tool-fault", "ps", "malformed", "12 ?\n"}).exitCode, 0);
  ps = runProgram({tool("/bin/ps"), "-axo", "comm="});
  EXPECT_EQ(ps.standardOutput, "12 ?\n");
  EXPECT_EQ(ps.exitCode, 0);
  ASSERT_EQ(world({"tool-fault", "ps", "flood"}).exitCode, 0);
  EXPECT_GT(runProgram({tool("/bin/ps"), "-axo", "comm="}).standardOutput.size(), kSimulatedToolFloodBytes);
  ASSERT_EQ(world({"tool-fault", "ps", "signal", "1"}).exitCode, 0);
  ps = runProgram({tool("/bin/ps"), "-axo", "comm="});
  EXPECT_EQ(ps.exitCode, 128 + 1);  // as the test's runner reports a death by SIGHUP
  EXPECT_EQ(ps.standardOutput, "");

  ASSERT_EQ(world({"tool-fault", "lsof", "missing"}).exitCode, 0);
  struct stat st {};
  EXPECT_NE(::lstat(tool("/usr/sbin/lsof").c_str(), &st), 0);
  EXPECT_EQ(::lstat(tool("/bin/ps").c_str(), &st), 0);
  ASSERT_EQ(world({"clear-tool-faults"}).exitCode, 0);
  EXPECT_EQ(::lstat(tool("/usr/sbin/lsof").c_str(), &st), 0);
  EXPECT_TRUE(shownTools()["faults"].empty());
  EXPECT_EQ(runProgram({tool("/bin/ps"), "-p", "1", "-o", "comm="}).standardOutput, "/sbin/launchd\n");

  for (const auto& [verb, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"tool-fault", "ls", "hang"}, "unknown tool ls (known: lsof, ps, hdiutil, diskutil, pkgutil, launchctl)"},
           {{"tool-fault", "ps", "exit", "256"}, "exit needs a number from 0 to 255"},
           {{"tool-fault", "ps", "hang", "now"}, "tool-fault TOOL hang takes nothing more"},
           {{"tool-fault", "ps", "signal", "17"}, "signal 17 does not end a process"},
           {{"open-file", "0", "3", "/x"}, "open-file needs a number from 1 to 99999"},
           {{"open-file", "5", "3", "x"}, "open-file needs an absolute macOS path (for example /Users/Shared/x)"},
           {{"attach-image", "/a.dmg", "--entity", "disk5"},
            "--entity needs DEV[=MOUNT] with DEV under /dev/ (for example /dev/disk5s1=/Volumes/X)"}}) {
    const ProgramResult refused = world(verb);
    EXPECT_EQ(refused.exitCode, 2) << verb[0];
    EXPECT_TRUE(refused.standardError.starts_with("tidewarden-sim: " + message + "\n")) << refused.standardError;
  }
  EXPECT_TRUE(shownTools()["faults"].empty());
}

}  // namespace
}  // namespace tidewarden::sim
