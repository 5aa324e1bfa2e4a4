// Quarantine and restore on a simulated Mac over the real socket: a helper killed at random
// points of a quarantine and of a restore loses nothing (after its restart every file of the
// item is in place or comes back with `restore`), and the Mac's own tool faults are named.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_program.h"
#include "support/signing_fixture.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

constexpr int kKills = 20;
constexpr const char* kLabel = "com.example.watch";
const std::string kPlist = "/Library/LaunchDaemons/com.example.watch.plist";
const std::vector<std::string> kItemFiles = {kPlist, "/Users/Shared/.watch/run.sh", "/Users/Shared/.watch/agent"};
const std::string kQuarantineRoot = "/root/Library/Application Support/Tidewarden/Quarantine";
// Generous: a loaded 2-core machine running sanitizer builds.
constexpr std::chrono::seconds kReplyBound{60};

class QuarantineSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simulator_ = std::make_unique<ServingSimulator>(mac());
    ASSERT_TRUE(simulator_->ready()) << simulator_->firstLine().value_or("(no line)");
    const ProgramResult added =
        runWorldVerb(mac(), {"add-daemon", kLabel, "--program", kItemFiles[1], "--interpreter", "/bin/sh",
                             "--related", kItemFiles[2], "--warnings", "--sign", "adhoc"});
    ASSERT_EQ(added.exitCode, 0) << added.standardError;
    for (const std::string& file : kItemFiles) bytes_[file] = read(file);
    std::random_device device;
    const unsigned seed = device();
    random_.seed(seed);
    RecordProperty("seed", std::to_string(seed));
  }

  std::string mac() const { return dir_.path() + "/mac"; }
  std::string host(const std::string& logical) const { return mac() + "/root" + logical; }
  std::string read(const std::string& logical) const {
    std::error_code error;
    return fs::exists(host(logical), error) ? readFileBytes(host(logical)) : std::string("(missing)");
  }

  std::vector<std::string> ctl(std::vector<std::string> arguments) const {
    std::vector<std::string> argv{TIDEWARDEN_CTL_PATH, "--socket", simulator_->socketPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return argv;
  }
  static std::vector<std::string> quarantineArguments() {
    return {"quarantine", "--label", kLabel, "--plist", kPlist, "--json"};
  }
  nlohmann::json call(const std::vector<std::string>& arguments) const {
    const ProgramResult result = runProgram(ctl(arguments), {}, kReplyBound);
    return nlohmann::json::parse(result.standardOutput, nullptr, /*allow_exceptions=*/false);
  }

  // Runs the request and kills the simulator `delay` after it was sent; how long the
  // request took when it is not killed (delay nullopt).
  Micros runKilledAfter(const std::vector<std::string>& arguments, std::optional<Micros> delay) {
    const auto started = Clock::now();
    RunningProgram request(ctl(arguments));
    if (delay) {
      std::this_thread::sleep_for(*delay);
      EXPECT_TRUE(simulator_->stop(SIGKILL));
    }
    EXPECT_TRUE(request.waitForExit(kReplyBound));
    return std::chrono::duration_cast<Micros>(Clock::now() - started);
  }

  void restart() {
    simulator_.reset();
    simulator_ = std::make_unique<ServingSimulator>(mac());
    ASSERT_TRUE(simulator_->ready()) << simulator_->firstLine().value_or("(no line)");
  }

  std::vector<std::string> quarantineFolders() const {
    std::vector<std::string> ids;
    if (!fs::exists(mac() + kQuarantineRoot)) return ids;
    for (const auto& entry : fs::directory_iterator(mac() + kQuarantineRoot)) ids.push_back(entry.path().filename());
    return ids;
  }
  // What the kill left: how many of the item's files are in quarantine, and how far the
  // manifest got.
  std::string killedState() const {
    std::size_t files = 0;
    std::string manifest = "no manifest";
    for (const std::string& id : quarantineFolders()) {
      const std::string folder = mac() + kQuarantineRoot + "/" + id;
      for (const auto& entry : fs::directory_iterator(folder)) {
        files += entry.path().filename() != "manifest.json" && !entry.path().filename().string().starts_with(".");
      }
      if (fs::exists(folder + "/manifest.json")) {
        manifest = nlohmann::json::parse(readFileBytes(folder + "/manifest.json"), nullptr, false).value("state", "?");
      }
    }
    return std::to_string(files) + " file(s) in quarantine, manifest " + manifest;
  }

  // After a restart: every quarantine that holds a file of the item is restored, and then
  // every file is back with its bytes, and no folder holds anything but its manifest.
  void expectNothingLost() {
    // A restore waits for the start-up recovery; this one names no quarantine.
    call({"restore", "00000000-0000-4000-8000-000000000000"});
    for (const std::string& id : quarantineFolders()) {
      const nlohmann::json reply = call({"restore", id, "--json"});
      EXPECT_TRUE(reply.is_object()) << id;
    }
    for (const std::string& file : kItemFiles) EXPECT_EQ(read(file), bytes_[file]) << file;
    for (const std::string& id : quarantineFolders()) {
      for (const auto& entry : fs::directory_iterator(mac() + kQuarantineRoot + "/" + id)) {
        EXPECT_EQ(entry.path().filename(), "manifest.json") << id;
      }
      fs::remove_all(mac() + kQuarantineRoot + "/" + id);
    }
  }

  // Kill points: a third anywhere in the request, the rest in the `band` that ends
  // `margin` before its end (where the files move: the reply and the client's exit
  // take the rest).
  Micros killPoint(int round, Micros whole, Micros band, Micros margin) {
    const Micros to = std::max(Micros(0), whole - margin);
    const Micros from = round % 3 == 0 ? Micros(0) : std::max(Micros(0), to - band);
    return Micros(std::uniform_int_distribution<long>(from.count(), to.count())(random_));
  }

  TempDir dir_;
  std::unique_ptr<ServingSimulator> simulator_;
  std::map<std::string, std::string> bytes_;
  std::mt19937 random_;
};

TEST_F(QuarantineSimulatorTest, AHelperKilledAnywhereInAQuarantineLosesNothing) {
  // How long a whole quarantine takes here, and that restore undoes it.
  const Micros whole = runKilledAfter(quarantineArguments(), std::nullopt);
  expectNothingLost();
  std::map<std::string, int> states;
  for (int round = 0; round < kKills; ++round) {
    const Micros delay = killPoint(round, whole, std::chrono::milliseconds(40), std::chrono::milliseconds(10));
    SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " us of " + std::to_string(whole.count()));
    runKilledAfter(quarantineArguments(), delay);
    ++states[killedState()];
    restart();
    expectNothingLost();
    if (HasFailure()) break;
  }
  for (const auto& [state, count] : states) std::printf("killed with %s: %d\n", state.c_str(), count);
}

TEST_F(QuarantineSimulatorTest, AHelperKilledAnywhereInARestoreLosesNothing) {
  Micros whole{0};
  std::map<std::string, int> states;
  for (int round = 0; round <= kKills; ++round) {
    const nlohmann::json reply = call(quarantineArguments());
    ASSERT_EQ(reply.value("success", false), true) << reply.dump();
    const std::vector<std::string> restore = {"restore", reply.at("quarantineID").get<std::string>()};
    if (round == 0) {  // how long a whole restore takes here
      whole = runKilledAfter(restore, std::nullopt);
      expectNothingLost();
      continue;
    }
    const Micros delay = killPoint(round, whole, whole, Micros(0));
    SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " us of " + std::to_string(whole.count()));
    runKilledAfter(restore, delay);
    ++states[killedState()];
    restart();
    expectNothingLost();
    if (HasFailure()) break;
  }
  for (const auto& [state, count] : states) std::printf("killed with %s: %d\n", state.c_str(), count);
}

// The simulated Mac's own tool faults: the quarantine goes on and its reply says what did
// not happen.
TEST_F(QuarantineSimulatorTest, ToolsThatFailOnTheSimulatedMacAreNamedInTheReply) {
  const std::string done = "The background item was disabled and moved into quarantine.";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, done},
      {{"launchctl", "missing"},
       done + " The startup service may still be loaded: Cannot start /bin/launchctl: No such file or directory."},
      {{"launchctl", "exit", "5"}, done + " The startup service may still be loaded: launchctl ended with exit status 5."},
      {{"ps", "malformed"}, done + " Some lines of the process list could not be read, so a running program of the "
                                   "item may not have been stopped."},
      {{"ps", "exit", "1"}, done + " No running program of the item was stopped: ps ended with exit status 1."},
  };
  for (const auto& [fault, message] : cases) {
    SCOPED_TRACE(message);
    ASSERT_EQ(runWorldVerb(mac(), {"clear-tool-faults"}).exitCode, 0);
    if (!fault.empty()) {
      std::vector<std::string> verb = {"tool-fault"};
      verb.insert(verb.end(), fault.begin(), fault.end());
      ASSERT_EQ(runWorldVerb(mac(), verb).exitCode, 0);
    }
    const nlohmann::json reply = call(quarantineArguments());
    EXPECT_EQ(reply.value("message", ""), message);
    expectNothingLost();
  }
}

}  // namespace
}  // namespace tidewarden::testing
