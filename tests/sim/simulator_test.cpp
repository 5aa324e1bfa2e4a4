// tidewarden-sim as a real child: fresh and reused worlds, the world verbs, and its usage errors.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/simulated_mac.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"
#include "support/signing_fixture.h"

namespace tidewarden::testing {
namespace {

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
constexpr const char* kSim = TIDEWARDEN_SIM_PATH;

// The ping line names the user ids the world gives the helper.
void expectPingLine(const std::string& output, unsigned uid, unsigned euid) {
  EXPECT_TRUE(output.starts_with("Tidewarden privileged helper ready \u2014 UID " + std::to_string(uid) + ", EUID " +
                                 std::to_string(euid) + " \u2014 "))
      << output;
}

class SimulatorTest : public ::testing::Test {
 protected:
  ProgramResult ping(const std::string& socketPath, const std::string& ctl = kCtl) {
    return runProgram({ctl, "--socket", socketPath, "ping"});
  }
  ProgramResult world(const std::vector<std::string>& arguments) { return runWorldVerb(worldDir(), arguments); }
  std::string worldDir() const { return dir_.path() + "/mac"; }

  TempDir dir_;
};

// A new world is laid out once, served by one simulator at a time, and kept as it is across
// restarts; a change made while serving shows in the next ping.
TEST_F(SimulatorTest, AWorldIsMadeOnceServedByOneSimulatorAndKeptAcrossRestarts) {
  std::string applePublicKey;
  {
    ServingSimulator simulator(worldDir());  // absent: created
    ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
    const ProgramResult second = runProgram({kSim, "serve", "--root", worldDir() + "/"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.standardError, "tidewarden-sim: Another simulator is already running on " + worldDir() + ".\n");
    const ProgramResult result = ping(simulator.socketPath());
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    expectPingLine(result.standardOutput, 0, 0);

    for (const sim::SimulatedFolder& folder : sim::kSimulatedTopFolders) {
      SCOPED_TRACE(folder.path);
      struct stat st{};
      ASSERT_EQ(::lstat((worldDir() + "/root/" + std::string(folder.path)).c_str(), &st), 0);
      EXPECT_TRUE(S_ISDIR(st.st_mode));
      EXPECT_EQ(st.st_mode & 07777, folder.mode);
      EXPECT_EQ(st.st_uid, ::geteuid());
    }
    struct stat st{};
    ASSERT_EQ(::lstat((worldDir() + "/root/private/tmp").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    ASSERT_EQ(::lstat((worldDir() + "/anchors/apple.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    applePublicKey = readFileBytes(worldDir() + "/anchors/apple.pub");
    EXPECT_TRUE(applePublicKey.starts_with("-----BEGIN PUBLIC KEY-----"));
    std::ofstream(worldDir() + "/root/Users/Shared/marker") << "kept";

    ASSERT_EQ(world({"set-user", "--euid", "0", "--uid", "501"}).exitCode, 0);
    expectPingLine(ping(simulator.socketPath()).standardOutput, 501, 0);
    EXPECT_EQ(simulator.stop(SIGINT), 0);
    EXPECT_EQ(ping(simulator.socketPath()).exitCode, 1);  // nobody answers any more
  }
  ASSERT_EQ(world({"set-user", "--euid", "502"}).exitCode, 0);  // only the euid changes
  EXPECT_EQ(showWorld(worldDir())["process"], nlohmann::json::parse(R"({"uid":501,"euid":502})"));

  ServingSimulator again(worldDir());
  ASSERT_TRUE(again.ready()) << again.firstLine().value_or("(no line)");
  expectPingLine(ping(again.socketPath()).standardOutput, 501, 502);
  EXPECT_EQ(readFileBytes(worldDir() + "/anchors/apple.pub"), applePublicKey);  // not regenerated
  EXPECT_EQ(readFileBytes(worldDir() + "/root/Users/Shared/marker"), "kept");
  EXPECT_EQ(again.stop(), 0);
}

TEST_F(SimulatorTest, RefusesADirectoryThatIsNotAWorldAndLeavesItAloneButTakesAnEmptyOne) {
  ASSERT_EQ(::mkdir(worldDir().c_str(), 0755), 0);
  std::ofstream(worldDir() + "/notes.txt") << "mine";

  const ProgramResult serve = runProgram({kSim, "serve", "--root", worldDir()});
  EXPECT_EQ(serve.exitCode, 1);
  EXPECT_EQ(serve.standardOutput, "");
  EXPECT_EQ(serve.standardError, "tidewarden-sim: " + worldDir() +
                                     " is not empty and holds no simulated Mac (no world.json). Choose an empty "
                                     "or new directory; nothing was changed.\n");

  const ProgramResult show = world({"show"});
  EXPECT_EQ(show.exitCode, 1);
  EXPECT_EQ(show.standardError,
            "tidewarden-sim: " + worldDir() + " holds no simulated Mac (" + worldDir() + "/world.json is missing).\n");
  EXPECT_EQ(world({"set-user", "--uid", "5"}).exitCode, 1);
  // None of them changed the directory; emptied, it becomes a world.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(worldDir()), {}), 1);
  EXPECT_EQ(readFileBytes(worldDir() + "/notes.txt"), "mine");
  ASSERT_EQ(::unlink((worldDir() + "/notes.txt").c_str()), 0);
  ServingSimulator simulator(worldDir());
  EXPECT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");
}

TEST_F(SimulatorTest, UsageErrorsExitTwo) {
  const std::string dir = worldDir();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no command given"},
      {{"start"}, "unknown command start"},
      {{"serve"}, "--root DIR is required"},
      {{"world", "--root", dir}, "world needs a verb"},
      {{"world", "--root", dir, "set-user", "--uid", "4294967295"}, "--uid needs a user id from 0 to 4294967294"},
      {{"world", "--root", dir, "set-temperature", "--cpu", "300"}, "--cpu needs a number from -50 to 200"},
      {{"world", "--root", dir, "smc-fault", "--short", "1", "--result", "1"},
       "smc-fault needs exactly one of --io-error CODE, --short BYTES, --result CODE"},
  };
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(message);
    std::vector<std::string> argv{kSim};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const ProgramResult result = runProgram(argv);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_TRUE(result.standardError.starts_with("tidewarden-sim: " + message + "\nusage: "))
        << result.standardError;
  }
  // None of them made a world.
  EXPECT_FALSE(std::filesystem::exists(dir));
}

}  // namespace
}  // namespace tidewarden::testing
