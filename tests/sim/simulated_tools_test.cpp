// The simulated system tools: the world's tools section, the world verbs that set them, and the
// installed multi-call program run as a real child. Their answers are the product tests' to read.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/simulated_mac.h"
#include "sim/simulated_tools.h"
#include "sim/world.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace tidewarden::sim {
namespace {

using testing::ProgramResult;
using testing::runProgram;

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
      {prefix + R"("faults":[{"tool":"ps","kind":"hang"},{"tool":"ps","kind":"flood"}]}})",
       "The world value \"tools.faults[1].tool\" names a tool that already has a fault."},
      {R"({"format":1,"tools":{"openFiles":[],"processes":[],"bootouts":[],"faults":[],"images":[{"imagePath":"/a","entities":[{"devEntry":"disk4"}],"writable":false,"systemImage":false,"encrypted":false,"hdidPid":0}]}})",
       "The world value \"tools.images[0].entities[0].devEntry\" must be a /dev/ path."},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(decodeRefusal(text), message) << text;
  EXPECT_EQ(decodeRefusal(prefix + R"("faults":[{"tool":"ps","kind":"exit","status":255}]}})"), "decoded");
}

// A simulated Mac made by tidewarden-sim itself, changed with its world verbs.
class SimulatedToolProgramTest : public ::testing::Test {
 protected:
  ProgramResult world(const std::vector<std::string>& verb) { return testing::runWorldVerb(directory(), verb); }
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

// Installed where macOS keeps them; the verbs' changes are what the running tools answer.
TEST_F(SimulatedToolProgramTest, VerbsSetWhatTheInstalledToolsAnswer) {
  for (const char* path : {"/usr/sbin/lsof", "/bin/ps", "/usr/bin/hdiutil", "/usr/sbin/diskutil", "/usr/sbin/pkgutil",
                           "/bin/launchctl"}) {
    struct stat st {};
    ASSERT_EQ(::lstat(tool(path).c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0755) << path;
  }
  EXPECT_EQ(world({"open-file", "611", "cwd", "/Users/Shared/x"}).exitCode, 0);
  ProgramResult lsof = runProgram({tool("/usr/sbin/lsof"), "-nP", "-Fpn", "+D", "/Users/Shared"});
  EXPECT_EQ(lsof.standardOutput, "p611\nfcwd\nn/Users/Shared/x\n");
  EXPECT_EQ(lsof.exitCode, 0);
  EXPECT_EQ(world({"end-process", "611"}).exitCode, 0);
  EXPECT_EQ(runProgram({tool("/usr/sbin/lsof"), "-nP", "-Fpn", "+D", "/Users/Shared"}).exitCode, 1);

  EXPECT_EQ(runProgram({tool("/bin/launchctl"), "bootout", "system", "/Library/LaunchDaemons/x.plist"}).exitCode, 0);
  EXPECT_EQ(shownTools()["bootouts"], nlohmann::json::parse(R"(["/Library/LaunchDaemons/x.plist"])"));
  const ProgramResult absent = world({"detach-image", "/dev/disk5s1"});
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_NE(absent.standardError.find("No attached image is /dev/disk5s1; nothing was changed."), std::string::npos);
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
           {{"tool-fault", "ps", "signal", "17"}, "signal 17 does not end a process"},
           {{"open-file", "5", "3", "x"}, "open-file needs an absolute macOS path (for example /Users/Shared/x)"}}) {
    const ProgramResult refused = world(verb);
    EXPECT_EQ(refused.exitCode, 2) << verb[0];
    EXPECT_TRUE(refused.standardError.starts_with("tidewarden-sim: " + message + "\n")) << refused.standardError;
  }
  EXPECT_TRUE(shownTools()["faults"].empty());
}

}  // namespace
}  // namespace tidewarden::sim
