// Quarantine and restore on a simulated Mac over the real socket: a helper killed at random
// points of a quarantine and of a restore loses nothing (after its restart every file of the
// item is in place or comes back with `restore`).
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/served_mac_fixture.h"
#include "support/signing_fixture.h"

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

class QuarantineSimulatorTest : public ServedMacTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ServedMacTest::SetUp());
    change({"add-daemon", kLabel, "--program", kItemFiles[1], "--interpreter", "/bin/sh", "--related", kItemFiles[2],
            "--warnings", "--sign", "adhoc"});
    for (const std::string& file : kItemFiles) bytes_[file] = read(file);
    std::random_device device;
    const unsigned seed = device();
    random_.seed(seed);
    RecordProperty("seed", std::to_string(seed));
  }

  std::string read(const std::string& logical) const {
    return exists(logical) ? readFileBytes(host(logical)) : std::string("(missing)");
  }

  static std::vector<std::string> quarantineArguments() {
    return {"quarantine", "--label", kLabel, "--plist", kPlist, "--json"};
  }
  nlohmann::json call(const std::vector<std::string>& arguments) {
    return nlohmann::json::parse(ctl(arguments).standardOutput, nullptr, /*allow_exceptions=*/false);
  }

  // Runs the request and kills the simulator `delay` after it was sent; how long the
  // request took when it is not killed (delay nullopt).
  Micros runKilledAfter(const std::vector<std::string>& arguments, std::optional<Micros> delay) {
    const auto started = Clock::now();
    std::vector<std::string> argv{TIDEWARDEN_CTL_PATH, "--socket", socket()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunningProgram request(argv);
    if (delay) {
      std::this_thread::sleep_for(*delay);
      EXPECT_TRUE(kill());
    }
    EXPECT_TRUE(request.waitForExit(kClientBound));
    return std::chrono::duration_cast<Micros>(Clock::now() - started);
  }

  std::vector<std::string> quarantineFolders() const {
    std::vector<std::string> ids;
    if (!fs::exists(mac() + kQuarantineRoot)) return ids;
    for (const auto& entry : fs::directory_iterator(mac() + kQuarantineRoot)) ids.push_back(entry.path().filename());
    return ids;
  }
  // After a restart: every quarantine that holds a file of the item is restored, and then
  // every file is back with its bytes, and no folder holds anything but its manifest.
  void expectNothingLost() {
    // A restore waits for the start-up recovery; this one names no quarantine.
    call({"restore", "00000000-0000-4000-8000-000000000000"});
    for (const std::string& id : quarantineFolders()) EXPECT_TRUE(call({"restore", id, "--json"}).is_object()) << id;
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

  // Times one whole run of the request `next()` gives, then kills the helper at a kill point
  // of each of kKills more runs, restarts it and checks that nothing was lost.
  void killRepeatedly(const std::function<std::vector<std::string>()>& next, std::optional<Micros> band,
                      Micros margin) {
    const Micros whole = runKilledAfter(next(), std::nullopt);
    expectNothingLost();
    for (int round = 0; round < kKills && !HasFailure(); ++round) {
      const std::vector<std::string> request = next();
      const Micros delay = killPoint(round, whole, band.value_or(whole), margin);
      SCOPED_TRACE("killed after " + std::to_string(delay.count()) + " us of " + std::to_string(whole.count()));
      runKilledAfter(request, delay);
      ASSERT_TRUE(serve());
      expectNothingLost();
    }
  }

  std::map<std::string, std::string> bytes_;
  std::mt19937 random_;
};

TEST_F(QuarantineSimulatorTest, AHelperKilledAnywhereInAQuarantineLosesNothing) {
  killRepeatedly(quarantineArguments, std::chrono::milliseconds(40), std::chrono::milliseconds(10));
}

TEST_F(QuarantineSimulatorTest, AHelperKilledAnywhereInARestoreLosesNothing) {
  // Each round quarantines the item whole first; the restore of it is what is killed.
  killRepeatedly(
      [&]() -> std::vector<std::string> {
        const nlohmann::json reply = call(quarantineArguments());
        EXPECT_EQ(reply.value("success", false), true) << reply.dump();
        return {"restore", reply.value("quarantineID", "")};
      },
      std::nullopt, Micros(0));
}

}  // namespace
}  // namespace tidewarden::testing
