// The simulated system tools' faults, set with the world verbs, on the installed multi-call program
// run as a real child.
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

// A fault changes how an installed tool ends or what it prints, until it is cleared; a missing
// tool is gone from the root meanwhile. The product tests read the answers themselves.
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
}

}  // namespace
}  // namespace tidewarden::sim
