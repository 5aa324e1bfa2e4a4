// The world record and its store: strict decoding, locked updates, no overwrite, link refusal.
#include "sim/world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/simulated_process_facts.h"
#include "support/temp_dir.h"
#include "support/signing_fixture.h"

namespace tidewarden::testing {
namespace {

using nlohmann::json;
using sim::World;
using sim::WorldError;
using sim::WorldRecord;

// The message of the WorldError that `action` throws.
template <class F>
std::string worldErrorOf(F&& action) {
  try {
    action();
  } catch (const WorldError& error) {
    return error.what();
  }
  return "(no error)";
}

// A world round-trips; what an older world lacks takes its default; anything else that is not
// as the simulator writes it is refused in world terms.
TEST(WorldRecordTest, RoundTripsDefaultsWhatAnOlderWorldLacksAndRefusesTheRest) {
  WorldRecord record;
  record.process = {501, 20};
  record.machine = {"Apple M4 Pro", "Mac16,8"};
  record.thermal = {sim::WorldThermalState::serious, 71.5, std::nullopt};
  record.smc.fans = {{.minimumRPM = 1200, .maximumRPM = 5700, .mode = 1, .targetRPM = 2400, .actualRPM = 2210.5,
                      .actualAt = 786000000.5}};
  record.smc.faults = {{.key = "F0Md", .command = sim::WorldSmcCommand::write,
                        .kind = sim::WorldSmcFaultKind::shortReply, .value = 40, .remaining = 2}};
  record.smc.takeovers = {{.fan = 0, .targetRPM = 3000, .afterCalls = 5}};
  const json document = record.toJson();
  const WorldRecord decoded = WorldRecord::fromJson(document);
  EXPECT_EQ(decoded.process.uid, 501u);
  EXPECT_EQ(decoded.process.euid, 20u);
  EXPECT_EQ(decoded.machine, record.machine);
  EXPECT_EQ(decoded.thermal, record.thermal);
  EXPECT_EQ(decoded.smc, record.smc);

  const WorldRecord older = WorldRecord::fromJson(json::parse(R"({"format":1,"fans":[],"process":{"euid":7}})"));
  EXPECT_EQ(older.process.uid, 0u);
  EXPECT_EQ(older.process.euid, 7u);
  EXPECT_TRUE(older.smc.fans.empty());
  EXPECT_FALSE(older.thermal.cpuCelsius);

  const std::vector<std::pair<std::function<void(json&)>, std::string>> refused{
      {[](json& d) { d = json::array({1}); }, "The world document must be a JSON object."},
      {[](json& d) { d.erase("format"); }, "The world value \"format\" is missing."},
      {[](json& d) { d["format"] = "1"; }, "The world format is not 1; this simulator cannot read it."},
      {[](json& d) { d["process"]["uid"] = 4294967295; },
       "The world value \"process.uid\" is out of range (at most 4294967294)."},
      {[](json& d) { d["smc"]["fans"][0]["mode"] = "manual"; }, "The world value \"smc.fans[0].mode\" must be an integer."},
      {[](json& d) { d["thermal"]["state"] = "hot"; }, "The world value \"thermal.state\" has an unknown value \"hot\"."},
      {[](json& d) { d["smc"]["takeovers"][0]["fan"] = 1; },
       "The world value \"smc.takeovers[0].fan\" is out of range (a fan of this world)."},
      {[](json& d) { d["smc"]["fans"] = json(9, d["smc"]["fans"][0]); },
       "The world value \"smc.fans\" is out of range (at most 8 fans)."},
  };
  for (const auto& [edit, message] : refused) {
    json changed = document;
    edit(changed);
    EXPECT_EQ(worldErrorOf([&] { WorldRecord::fromJson(changed); }), message);
  }
}

class WorldStoreTest : public ::testing::Test {
 protected:
  std::string state() const { return dir_.path() + "/world.json"; }
  TempDir dir_;
};

// A world is never replaced, and a change that fails writes nothing, not even a leftover.
TEST_F(WorldStoreTest, CreateNeverReplacesAWorldAndAFailedChangeWritesNothing) {
  EXPECT_FALSE(World::exists(dir_.path()));
  World::create(dir_.path(), WorldRecord{.process = {7, 0}});
  EXPECT_TRUE(World::exists(dir_.path()));
  const std::string stored = readFileBytes(state());
  EXPECT_EQ(worldErrorOf([this] { World::create(dir_.path(), WorldRecord{}); }),
            dir_.path() + " already holds a simulated Mac; it was not replaced.");
  EXPECT_EQ(readFileBytes(state()), stored);

  const auto failingChange = [](WorldRecord& world) {
    world.process.uid = 99;
    throw WorldError("no");
  };
  EXPECT_THROW(World::update(dir_.path(), failingChange), WorldError);
  EXPECT_EQ(readFileBytes(state()), stored);
  EXPECT_EQ(World::read(dir_.path()).process.uid, 7u);
  struct stat st{};
  EXPECT_NE(::lstat((dir_.path() + "/world.json.new").c_str(), &st), 0);
}

TEST_F(WorldStoreTest, ConcurrentUpdatesAreNotLost) {
  World::create(dir_.path(), WorldRecord{});
  constexpr int kThreads = 8;
  constexpr int kUpdatesEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < kUpdatesEach; ++i) {
        World::update(dir_.path(), [](WorldRecord& world) { world.process.uid += 1; });
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(World::read(dir_.path()).process.uid, static_cast<std::uint32_t>(kThreads * kUpdatesEach));
}

TEST_F(WorldStoreTest, ReadsOnlyARegularStateFileAndNamesTheProblem) {
  // A state file that is a link to a valid world elsewhere is not followed.
  TempDir elsewhere;
  World::create(elsewhere.path(), WorldRecord{.process = {42, 0}});
  ASSERT_EQ(::symlink((elsewhere.path() + "/world.json").c_str(), state().c_str()), 0);
  EXPECT_FALSE(World::exists(dir_.path()));
  const auto readError = [this] { return worldErrorOf([this] { World::read(dir_.path()); }); };
  EXPECT_EQ(readError(), "Cannot open " + state() + ": Too many levels of symbolic links");
  EXPECT_THROW(World::update(dir_.path(), [](WorldRecord&) {}), WorldError);
  EXPECT_EQ(World::read(elsewhere.path()).process.uid, 42u);  // the target was not touched

  ASSERT_EQ(::unlink(state().c_str()), 0);
  std::ofstream(state()) << "{\"format\": 1,";
  EXPECT_EQ(readError(), "Cannot read " + state() + ": it is not valid JSON.");
}

// Sets the world's generation counter as a writer would leave it.
void setGeneration(const std::string& directory, std::uint64_t value) {
  std::ofstream(directory + "/world.generation", std::ios::binary | std::ios::in | std::ios::out)
      .write(reinterpret_cast<const char*>(&value), sizeof value);
}

// The process facts and accounts follow the world, keeping the last good values over a bad one.
// The cache looks at the state file only when the generation says it may have changed.
TEST_F(WorldStoreTest, ProcessFactsAndAccountsFollowTheWorldAndKeepTheLastGoodValues) {
  World::create(dir_.path(), WorldRecord{});
  sim::SimulatedProcessFacts facts(dir_.path(), sim::WorldProcess{});
  EXPECT_EQ(facts.realUserId(), 0u);
  World::update(dir_.path(), [](WorldRecord& world) { world.process = {501, 20}; });
  EXPECT_EQ(facts.realUserId(), 501u);
  EXPECT_EQ(facts.effectiveUserId(), 20u);

  // An edit that bypasses World is not looked for while the generation stands still; once a
  // writer died between marking the world as changing and marking it changed, every question
  // looks at the file.
  std::ofstream(state()) << R"({"format":1,"process":{"uid":9,"euid":9}})";
  EXPECT_EQ(facts.realUserId(), 501u);
  setGeneration(dir_.path(), 7);
  EXPECT_EQ(facts.realUserId(), 9u);

  std::ofstream(state()) << "garbage";
  EXPECT_EQ(facts.realUserId(), 9u);
  EXPECT_EQ(facts.effectiveUserId(), 9u);

  std::ofstream(state()) << R"({"format":1,"process":{"uid":3,"euid":4}})";  // from before accounts were modelled
  EXPECT_EQ(facts.realUserId(), 3u);
  EXPECT_EQ(facts.effectiveUserId(), 4u);
  EXPECT_EQ(facts.userId("_softwareupdate"), 200u);
  EXPECT_EQ(facts.userName(501), "admin");
  EXPECT_EQ(facts.userId("nobody"), std::nullopt);
  EXPECT_EQ(facts.userName(502), std::nullopt);

  World::update(dir_.path(), [](WorldRecord& world) { world.accounts.users.push_back({"alex", 502}); });
  EXPECT_EQ(facts.userName(502), "alex");

  // A world made before generations is looked at every time, and its next update gives it one.
  TempDir olderDir;
  World::create(olderDir.path(), WorldRecord{});
  ASSERT_EQ(::unlink((olderDir.path() + "/world.generation").c_str()), 0);
  sim::SimulatedProcessFacts older(olderDir.path(), sim::WorldProcess{});
  for (const std::uint32_t uid : {5u, 6u}) {
    std::ofstream(olderDir.path() + "/world.json") << json{{"format", 1}, {"process", {{"uid", uid}}}}.dump();
    EXPECT_EQ(older.realUserId(), uid);
  }
  World::update(olderDir.path(), [](WorldRecord& world) { world.process.uid = 8; });
  EXPECT_EQ(older.realUserId(), 8u);
  World::update(olderDir.path(), [](WorldRecord& world) { world.process.uid = 10; });
  EXPECT_EQ(older.realUserId(), 10u);

  std::ofstream(state()) << R"({"format":1,"accounts":{"users":[{"name":"a","uid":7},{"name":"b","uid":7}]}})";
  EXPECT_EQ(worldErrorOf([this] { World::read(dir_.path()); }),
            "Cannot read " + state() +
                ": The world value \"accounts.users[1].uid\" is out of range (an id no other account has).");
}

}  // namespace
}  // namespace tidewarden::testing
