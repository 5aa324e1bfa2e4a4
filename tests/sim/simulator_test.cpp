// tidewarden-sim as a real child: fresh and reused worlds, world verbs, admission through tidewarden-ctl.
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
#include "support/child_program.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

constexpr const char* kCtl = TIDEWARDEN_CTL_PATH;
constexpr const char* kSim = TIDEWARDEN_SIM_PATH;
constexpr const char* kCodesign = TIDEWARDEN_CODESIGN_PATH;

std::string readyText(unsigned uid, unsigned euid) {
  return "Tidewarden privileged helper ready — UID " + std::to_string(uid) + ", EUID " + std::to_string(euid) +
         " — installer-download-cleanup-v2 — installer-payload-identity-v1 — installer-preparation-storage-v5"
         " — rescue-destination-scope-v3 — prepared-installer-permanent-removal-v3"
         " — quietcove-private-repair-access-v1 — fan-control-lease-v5-free-repair1";
}

// The ping line is the ready text, optionally followed by the helper's runtime stamp.
void expectPingLine(const std::string& output, unsigned uid, unsigned euid) {
  const std::string ready = readyText(uid, euid);
  ASSERT_TRUE(output.starts_with(ready)) << output;
  const std::string rest = output.substr(ready.size());
  EXPECT_TRUE(rest == "\n" || (rest.starts_with(" — helper-image-v1:") && rest.find('\n') == rest.size() - 1))
      << rest;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// How many entries `directory` holds.
std::ptrdiff_t entryCount(const std::string& directory) {
  return std::distance(std::filesystem::directory_iterator(directory), {});
}

// How long a simulator may take to make a world and start listening (sanitizer builds
// included), and to stop after a signal. Waits end as soon as the event happens.
constexpr std::chrono::seconds kSimulatorStartBound{60};
constexpr std::chrono::seconds kSimulatorStopBound{30};

// A tidewarden-sim serve child on `directory`, ready once it printed its listening line.
class SimulatorProcess {
 public:
  explicit SimulatorProcess(const std::string& directory)
      : directory_(directory), program_({kSim, "serve", "--root", directory}) {
    firstLine_ = program_.readLine(kSimulatorStartBound);
  }

  // The line printed when ready, nullopt when none came (the child failed or hung).
  const std::optional<std::string>& firstLine() const { return firstLine_; }
  bool ready() const { return firstLine_ == "listening on " + socketPath(); }
  std::string socketPath() const { return directory_ + "/helper.sock"; }
  // Exit code after the signal, nullopt when it did not end within the bound.
  std::optional<int> stop(int signal = SIGTERM) { return program_.stop(signal, kSimulatorStopBound); }

 private:
  std::string directory_;
  RunningProgram program_;
  std::optional<std::string> firstLine_;
};

class SimulatorTest : public ::testing::Test {
 protected:
  ProgramResult ping(const std::string& socketPath, const std::string& ctl = kCtl) {
    return runProgram({ctl, "--socket", socketPath, "ping"});
  }
  ProgramResult world(std::vector<std::string> arguments) {
    std::vector<std::string> argv{kSim, "world", "--root", worldDir()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv);
  }
  std::string worldDir() const { return dir_.path() + "/mac"; }

  TempDir dir_;
};

TEST_F(SimulatorTest, FreshWorldIsLaidOutAndAnswersPingAndTheDirectoryIsLocked) {
  SimulatorProcess simulator(worldDir());  // absent: created
  ASSERT_TRUE(simulator.ready()) << simulator.firstLine().value_or("(no line)");

  // One simulator per directory: a second is refused and the first still serves.
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
  EXPECT_TRUE(slurp(worldDir() + "/anchors/apple.pub").starts_with("-----BEGIN PUBLIC KEY-----"));

  const ProgramResult shown = world({"show"});
  EXPECT_EQ(shown.exitCode, 0);
  const nlohmann::json fresh = nlohmann::json::parse(shown.standardOutput);
  EXPECT_EQ(fresh["format"], 1);
  EXPECT_EQ(fresh["process"], nlohmann::json::parse(R"({"uid":0,"euid":0})"));
  EXPECT_EQ(fresh["machine"], nlohmann::json::parse(R"({"cpuBrand":"Apple M4 Pro","modelIdentifier":"Mac16,8"})"));
  EXPECT_EQ(fresh["thermal"], nlohmann::json::parse(R"({"state":"nominal","cpuCelsius":45.0,"gpuCelsius":40.0})"));
  ASSERT_EQ(fresh["smc"]["fans"].size(), 2u);
  EXPECT_EQ(fresh["smc"]["fans"][1]["maximumRPM"], 6100.0);
  EXPECT_EQ(fresh["smc"]["fans"][1]["mode"], 0);

  EXPECT_EQ(simulator.stop(SIGTERM), 0);
  // Once stopped nobody answers on the socket any more.
  EXPECT_EQ(ping(simulator.socketPath()).exitCode, 1);
}

TEST_F(SimulatorTest, WorldSurvivesRestartAndUserChangesShowInPing) {
  std::string applePublicKey;
  {
    ASSERT_EQ(::mkdir(worldDir().c_str(), 0755), 0);  // an existing empty directory is fine too
    SimulatorProcess simulator(worldDir());
    ASSERT_TRUE(simulator.ready());
    applePublicKey = slurp(worldDir() + "/anchors/apple.pub");
    std::ofstream(worldDir() + "/root/Users/Shared/marker") << "kept";

    // A change made while serving is reported by the next ping.
    ASSERT_EQ(world({"set-user", "--euid", "0", "--uid", "501"}).exitCode, 0);
    const ProgramResult live = ping(simulator.socketPath());
    EXPECT_EQ(live.exitCode, 0);
    expectPingLine(live.standardOutput, 501, 0);
    EXPECT_EQ(simulator.stop(SIGINT), 0);
  }
  ASSERT_EQ(world({"set-user", "--euid", "502"}).exitCode, 0);  // only the euid changes
  const ProgramResult shown = world({"show"});
  EXPECT_EQ(nlohmann::json::parse(shown.standardOutput)["process"],
            nlohmann::json::parse(R"({"uid":501,"euid":502})"));

  SimulatorProcess again(worldDir());
  ASSERT_TRUE(again.ready()) << again.firstLine().value_or("(no line)");
  const ProgramResult result = ping(again.socketPath());
  EXPECT_EQ(result.exitCode, 0);
  expectPingLine(result.standardOutput, 501, 502);
  EXPECT_EQ(slurp(worldDir() + "/anchors/apple.pub"), applePublicKey);  // not regenerated
  EXPECT_EQ(slurp(worldDir() + "/root/Users/Shared/marker"), "kept");
  EXPECT_EQ(again.stop(), 0);
}

TEST_F(SimulatorTest, RefusesADirectoryThatIsNotAWorldAndLeavesItAlone) {
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
  // None of them changed the directory.
  EXPECT_EQ(entryCount(worldDir()), 1);
  EXPECT_EQ(slurp(worldDir() + "/notes.txt"), "mine");
}

TEST_F(SimulatorTest, ClientAdmissionFollowsTheSignature) {
  SimulatorProcess simulator(worldDir());
  ASSERT_TRUE(simulator.ready());

  const std::string copy = dir_.path() + "/tidewarden-ctl-adhoc";
  std::filesystem::copy_file(kCtl, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  // The unmodified copy still carries the build's team signature and is admitted.
  EXPECT_EQ(ping(simulator.socketPath(), copy).exitCode, 0);

  const ProgramResult signing =
      runProgram({kCodesign, "sign", "--identifier", "com.ambergrove.Tidewarden", "--adhoc", copy});
  ASSERT_EQ(signing.exitCode, 0) << signing.standardError;
  const ProgramResult refused = ping(simulator.socketPath(), copy);
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.standardOutput, "");
  EXPECT_EQ(refused.standardError,
            "tidewarden-ctl: the helper closed the connection without a reply (not admitted?)\n");

  // The refusal is per connection: the genuine client is still served.
  const ProgramResult genuine = ping(simulator.socketPath());
  EXPECT_EQ(genuine.exitCode, 0);
  expectPingLine(genuine.standardOutput, 0, 0);
  EXPECT_EQ(simulator.stop(), 0);
}

TEST_F(SimulatorTest, FanVerbsChangeTheControllerWorld) {
  { SimulatorProcess simulator(worldDir()); ASSERT_TRUE(simulator.ready()); }
  const auto shown = [this] { return nlohmann::json::parse(world({"show"}).standardOutput); };
  const auto succeeds = [this](std::vector<std::string> arguments) {
    const ProgramResult result = world(std::move(arguments));
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");
  };

  succeeds({"set-model", "intel"});
  nlohmann::json state = shown();
  EXPECT_EQ(state["machine"]["modelIdentifier"], "MacBookPro16,1");
  ASSERT_EQ(state["smc"]["fans"].size(), 2u);
  EXPECT_EQ(state["smc"]["fans"][0]["minimumRPM"], 1800.0);

  succeeds({"set-temperature", "--cpu", "70.5", "--gpu", "none"});
  succeeds({"set-thermal-state", "critical"});
  EXPECT_EQ(shown()["thermal"], nlohmann::json::parse(R"({"state":"critical","cpuCelsius":70.5})"));

  succeeds({"take-fan", "1", "--mode", "1", "--target", "3000"});
  succeeds({"take-fan", "0", "--mode", "2", "--after-calls", "3"});
  succeeds({"smc-fault", "--key", "F0Md", "--command", "write", "--result", "0x87", "--times", "2"});
  succeeds({"smc-fault", "--io-error", "0xE00002BC"});
  succeeds({"smc-fault", "--command", "info", "--short", "40"});
  state = shown();
  EXPECT_EQ(state["smc"]["fans"][1]["mode"], 1);
  EXPECT_EQ(state["smc"]["fans"][1]["targetRPM"], 3000.0);
  EXPECT_EQ(state["smc"]["fans"][0]["mode"], 0);
  EXPECT_EQ(state["smc"]["takeovers"], nlohmann::json::parse(R"([{"fan":0,"mode":2,"afterCalls":3}])"));
  EXPECT_EQ(state["smc"]["faults"], nlohmann::json::parse(R"([
      {"key":"F0Md","command":"write","kind":"result","value":135,"remaining":2},
      {"kind":"ioError","value":-536870212},
      {"command":"info","kind":"shortReply","value":40}])"));

  const ProgramResult missingFan = world({"take-fan", "5", "--mode", "1"});
  EXPECT_EQ(missingFan.exitCode, 1);
  EXPECT_EQ(missingFan.standardError,
            "tidewarden-sim: This simulated Mac has no fan 5 (it has 2); nothing was changed.\n");

  succeeds({"clear-smc-faults"});
  state = shown();
  EXPECT_TRUE(state["smc"]["faults"].empty());
  EXPECT_TRUE(state["smc"]["takeovers"].empty());
  EXPECT_EQ(state["smc"]["fans"][1]["mode"], 1);  // what was taken stays taken

  succeeds({"set-model", "m4"});
  state = shown();
  EXPECT_EQ(state["machine"]["cpuBrand"], "Apple M4");
  ASSERT_EQ(state["smc"]["fans"].size(), 1u);
  EXPECT_EQ(state["smc"]["fans"][0]["mode"], 0);
  EXPECT_EQ(state["thermal"]["cpuCelsius"], 70.5);  // the temperatures stay
}

TEST_F(SimulatorTest, UsageErrorsExitTwo) {
  const std::string dir = worldDir();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "no command given"},
      {{"start"}, "unknown command start"},
      {{"serve"}, "--root DIR is required"},
      {{"serve", "--root"}, "--root needs a directory"},
      {{"serve", "--root", dir, "--port", "1"}, "serve takes only --root DIR"},
      {{"world", "--root", dir}, "world needs a verb"},
      {{"world", "--root", dir, "fans"}, "unknown world verb fans"},
      {{"world", "--root", dir, "show", "all"}, "show takes no arguments"},
      {{"world", "--root", dir, "set-user"}, "set-user needs --uid N, --euid N or both"},
      {{"world", "--root", dir, "set-user", "--uid"}, "--uid needs a user id"},
      {{"world", "--root", dir, "set-user", "--uid", "-1"}, "--uid needs a user id from 0 to 4294967294"},
      {{"world", "--root", dir, "set-user", "--uid", "4294967295"}, "--uid needs a user id from 0 to 4294967294"},
      {{"world", "--root", dir, "set-user", "--euid", "1", "--euid", "2"}, "--euid given twice"},
      {{"world", "--root", dir, "set-user", "--gid", "1"}, "unknown option --gid for set-user"},
      {{"world", "--root", dir, "set-model"}, "set-model needs one model: m4-pro, intel, m1, m2, m3, m4"},
      {{"world", "--root", dir, "set-model", "m9"}, "unknown model m9 (known: m4-pro, intel, m1, m2, m3, m4)"},
      {{"world", "--root", dir, "set-temperature"}, "set-temperature needs --cpu C, --gpu C or both"},
      {{"world", "--root", dir, "set-temperature", "--cpu", "300"}, "--cpu needs a number from -50 to 200"},
      {{"world", "--root", dir, "set-thermal-state", "warm"},
       "set-thermal-state needs one of nominal, fair, serious, critical"},
      {{"world", "--root", dir, "take-fan", "8", "--mode", "1"}, "take-fan needs a fan index from 0 to 7"},
      {{"world", "--root", dir, "take-fan", "0"}, "take-fan needs --mode N, --target RPM or both"},
      {{"world", "--root", dir, "take-fan", "0", "--mode", "256"}, "--mode needs a mode byte from 0 to 255"},
      {{"world", "--root", dir, "take-fan", "0", "--speed", "1"}, "unknown option --speed for take-fan"},
      {{"world", "--root", dir, "smc-fault", "--short", "1", "--result", "1"},
       "smc-fault needs exactly one of --io-error CODE, --short BYTES, --result CODE"},
      {{"world", "--root", dir, "smc-fault", "--short", "80"}, "--short needs a reply size from 0 to 79 bytes"},
      {{"world", "--root", dir, "smc-fault", "--io-error", "0"}, "--io-error needs a non-zero 32-bit kernel return"},
      {{"world", "--root", dir, "smc-fault", "--command", "erase", "--result", "1"},
       "--command needs read, write or info"},
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
