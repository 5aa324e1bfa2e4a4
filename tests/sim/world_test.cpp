// The world record and its store: strict decoding, locked updates, no overwrite, link refusal.
#include "sim/world.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sim/simulated_process_facts.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {
namespace {

using nlohmann::json;
using sim::World;
using sim::WorldError;
using sim::WorldRecord;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string decodeError(const std::string& text) {
  try {
    WorldRecord::fromJson(json::parse(text));
  } catch (const WorldError& error) {
    return error.what();
  }
  return "(decoded)";
}

TEST(WorldRecordTest, RoundTripsAndDecodesStrictly) {
  WorldRecord record;
  record.process = {501, 0};
  const WorldRecord back = WorldRecord::fromJson(record.toJson());
  EXPECT_EQ(back.process.uid, 501u);
  EXPECT_EQ(back.process.euid, 0u);

  // Sections and keys an older world lacks take their defaults; unknown keys are ignored.
  const WorldRecord minimal = WorldRecord::fromJson(json::parse(R"({"format":1,"fans":[],"process":null})"));
  EXPECT_EQ(minimal.process.uid, 0u);
  const WorldRecord partial = WorldRecord::fromJson(json::parse(R"({"format":1,"process":{"euid":4294967294}})"));
  EXPECT_EQ(partial.process.uid, 0u);
  EXPECT_EQ(partial.process.euid, 4294967294u);

  EXPECT_EQ(decodeError(R"([1])"), "The world document must be a JSON object.");
  EXPECT_EQ(decodeError(R"({"process":{}})"), "The world value \"format\" is missing.");
  EXPECT_EQ(decodeError(R"({"format":2})"), "The world format is not 1; this simulator cannot read it.");
  EXPECT_EQ(decodeError(R"({"format":"1"})"), "The world format is not 1; this simulator cannot read it.");
  EXPECT_EQ(decodeError(R"({"format":1,"process":[]})"), "The world value \"process\" must be an object.");
  EXPECT_EQ(decodeError(R"({"format":1,"process":{"uid":-1}})"),
            "The world value \"process.uid\" must be a non-negative integer.");
  EXPECT_EQ(decodeError(R"({"format":1,"process":{"euid":0.5}})"),
            "The world value \"process.euid\" must be a non-negative integer.");
  EXPECT_EQ(decodeError(R"({"format":1,"process":{"uid":"0"}})"),
            "The world value \"process.uid\" must be a non-negative integer.");
  EXPECT_EQ(decodeError(R"({"format":1,"process":{"uid":4294967295}})"),
            "The world value \"process.uid\" is out of range (at most 4294967294).");
}

class WorldStoreTest : public ::testing::Test {
 protected:
  std::string state() const { return dir_.path() + "/world.json"; }
  TempDir dir_;
};

TEST_F(WorldStoreTest, CreateNeverReplacesAWorld) {
  EXPECT_FALSE(World::exists(dir_.path()));
  WorldRecord first;
  first.process.uid = 7;
  World::create(dir_.path(), first);
  EXPECT_TRUE(World::exists(dir_.path()));
  const std::string stored = slurp(state());

  try {
    World::create(dir_.path(), WorldRecord{});
    ADD_FAILURE() << "a second create replaced the world";
  } catch (const WorldError& error) {
    EXPECT_EQ(std::string(error.what()), dir_.path() + " already holds a simulated Mac; it was not replaced.");
  }
  EXPECT_EQ(slurp(state()), stored);
  EXPECT_EQ(World::read(dir_.path()).process.uid, 7u);
  struct stat st{};
  EXPECT_NE(::lstat((dir_.path() + "/world.json.new").c_str(), &st), 0);  // no leftover
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

TEST_F(WorldStoreTest, AFailedChangeWritesNothing) {
  World::create(dir_.path(), WorldRecord{});
  const WorldRecord updated = World::update(dir_.path(), [](WorldRecord& world) { world.process.euid = 20; });
  EXPECT_EQ(updated.process.euid, 20u);
  const std::string stored = slurp(state());

  EXPECT_THROW(World::update(dir_.path(),
                             [](WorldRecord& world) {
                               world.process.euid = 99;
                               throw WorldError("no");
                             }),
               WorldError);
  EXPECT_EQ(slurp(state()), stored);
  EXPECT_EQ(World::read(dir_.path()).process.euid, 20u);
}

TEST_F(WorldStoreTest, ReadsOnlyARegularStateFileAndNamesTheProblem) {
  // A state file that is a link to a valid world elsewhere is not followed.
  TempDir elsewhere;
  WorldRecord other;
  other.process.uid = 42;
  World::create(elsewhere.path(), other);
  ASSERT_EQ(::symlink((elsewhere.path() + "/world.json").c_str(), state().c_str()), 0);
  EXPECT_FALSE(World::exists(dir_.path()));
  try {
    World::read(dir_.path());
    ADD_FAILURE() << "read through a link";
  } catch (const WorldError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot open " + state() + ": Too many levels of symbolic links");
  }
  EXPECT_THROW(World::update(dir_.path(), [](WorldRecord&) {}), WorldError);
  EXPECT_EQ(World::read(elsewhere.path()).process.uid, 42u);  // the target was not touched

  ASSERT_EQ(::unlink(state().c_str()), 0);
  std::ofstream(state()) << "{\"format\": 1,";
  try {
    World::read(dir_.path());
    ADD_FAILURE() << "read invalid JSON";
  } catch (const WorldError& error) {
    EXPECT_EQ(std::string(error.what()), "Cannot read " + state() + ": it is not valid JSON.");
  }
  std::ofstream(state()) << R"({"format":1,"process":{"uid":-3}})";
  try {
    World::read(dir_.path());
    ADD_FAILURE() << "read a negative uid";
  } catch (const WorldError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cannot read " + state() + ": The world value \"process.uid\" must be a non-negative integer.");
  }
}

TEST_F(WorldStoreTest, ProcessFactsFollowTheWorldAndKeepTheLastGoodValues) {
  World::create(dir_.path(), WorldRecord{});
  sim::SimulatedProcessFacts facts(dir_.path(), sim::WorldProcess{});
  EXPECT_EQ(facts.realUserId(), 0u);
  World::update(dir_.path(), [](WorldRecord& world) { world.process = {501, 20}; });
  EXPECT_EQ(facts.realUserId(), 501u);
  EXPECT_EQ(facts.effectiveUserId(), 20u);

  std::ofstream(state()) << "garbage";
  EXPECT_EQ(facts.realUserId(), 501u);
  EXPECT_EQ(facts.effectiveUserId(), 20u);

  std::ofstream(state()) << R"({"format":1,"process":{"uid":3,"euid":4}})";
  EXPECT_EQ(facts.realUserId(), 3u);
  EXPECT_EQ(facts.effectiveUserId(), 4u);
}

}  // namespace
}  // namespace tidewarden::testing
