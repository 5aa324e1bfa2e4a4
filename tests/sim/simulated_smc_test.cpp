// The emulated controller through the real fan transport: real models' keys and types, moving fans, faults, takeovers.
#include "sim/simulated_smc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fan/fan_control_error.h"
#include "fan/fan_smc_transport.h"
#include "fan/fan_write_verification.h"
#include "sim/simulated_models.h"
#include "support/fan_refusal.h"
#include "support/temp_dir.h"
#include "support/test_platform.h"

namespace tidewarden::testing {
namespace {

using fan::FanControlError;
using fan::FanControlFan;
using fan::FanSMCTransport;
using fan::FanWriteVerifier;
using sim::World;
using sim::WorldRecord;
using Command = sim::WorldSmcCommand;
using Fault = sim::WorldSmcFaultKind;

// A world of one model on disk, its controller on a virtual clock, and a transport on it.
class SimulatedSmcTest : public ::testing::Test {
 protected:
  // A new world of `model` in a directory of its own.
  void makeWorld(const std::string& model) {
    transport.reset();
    dir.emplace();
    WorldRecord world = sim::freshWorldRecord(clock.now());
    sim::applySimulatedModel(world, *sim::findSimulatedModel(model), clock.now());
    World::create(dir->path(), world);
    controller.emplace(dir->path(), clock);
    transport.emplace(*controller);
  }
  void change(const std::function<void(WorldRecord&)>& edit) { World::update(dir->path(), edit); }
  WorldRecord world() const { return World::read(dir->path()); }
  FanWriteVerifier verifier() { return FanWriteVerifier(*transport, clock); }
  std::string brand() const { return world().machine.cpuBrand; }

  std::optional<TempDir> dir;
  ManualClock clock;
  std::optional<sim::SimulatedSmc> controller;
  std::optional<FanSMCTransport> transport;
};

// Every model answers its own register types, and the helper's key table for its chip
// finds the emulated sensors, GPU included.
TEST_F(SimulatedSmcTest, EveryModelAnswersItsOwnRegisterTypesAndSensorKeys) {
  for (const char* model : {"intel", "m1", "m2", "m3", "m4", "m4-pro"}) {
    SCOPED_TRACE(model);
    makeWorld(model);
    change([](WorldRecord& world) {
      world.thermal.cpuCelsius = 61.5;
      world.thermal.gpuCelsius = 55.25;
    });
    const bool intel = std::string(model) == "intel";
    EXPECT_EQ(transport->readValue("F0Tg").type, intel ? "fpe2" : "flt ");
    EXPECT_EQ(transport->readValue("F0Md").type, "ui8 ");
    EXPECT_EQ(transport->readFanInventory().size(), world().smc.fans.size());
    const fan::TemperatureKeys keys = FanSMCTransport::temperatureKeys(brand());
    EXPECT_EQ(transport->readTemperature(keys.cpu), 61.5);
    EXPECT_EQ(transport->readTemperature(keys.gpu), 55.25);
  }
}

TEST_F(SimulatedSmcTest, AFanFollowsAWrittenTargetAndKeepsItWhenTheHelperDies) {
  makeWorld("intel");
  EXPECT_EQ(transport->readFanInventory(), (std::vector<FanControlFan>{{0, "Fan 1", 1800, 1800, 5400, 1800, false},
                                                                       {1, "Fan 2", 1800, 1800, 5900, 1800, false}}));
  verifier().writeFanMode(/*acquire=*/true, 0, /*touched=*/false);
  verifier().writeFanTarget(3000, 0);
  EXPECT_TRUE(transport->writeEvents().back().starts_with("TARGET VERIFIED F0Tg=3000.000 RPM, F0Md=1;"));

  // The fan spins up toward its target over a few seconds; the other stays automatic.
  const double early = transport->readFanInventory()[0].actualRPM;
  EXPECT_GT(early, 1800);
  EXPECT_LT(early, 2900);
  clock.sleepFor(10);
  const std::vector<FanControlFan> fans = transport->readFanInventory();
  EXPECT_NEAR(fans[0].actualRPM, 3000, 1);
  EXPECT_TRUE(fans[0].manual);
  EXPECT_EQ(fans[0].targetRPM, 3000);
  EXPECT_FALSE(fans[1].manual);
  EXPECT_EQ(fans[1].actualRPM, 1800);

  // A helper that dies here leaves the fan as it was: a new controller on the same
  // world sees it manual at 3000, and returning it to System works from there.
  sim::SimulatedSmc restarted(dir->path(), clock);
  FanSMCTransport fresh(restarted);
  EXPECT_TRUE(fresh.readFanInventory()[0].manual);
  FanWriteVerifier(fresh, clock).writeFanMode(/*acquire=*/false, 0, /*touched=*/true);
  EXPECT_EQ(world().smc.fans[0].mode, 0);
  clock.sleepFor(10);
  EXPECT_NEAR(fresh.readFanInventory()[0].actualRPM, 1800, 1);
}

TEST_F(SimulatedSmcTest, AutomaticFansFollowTheTemperatureCurve) {
  makeWorld("m4-pro");
  EXPECT_EQ(transport->readFanInventory()[1].targetRPM, 1200);
  change([&](WorldRecord& world) {
    sim::settleFans(world, clock.now());
    world.thermal.cpuCelsius = 70;  // halfway up the curve
  });
  const FanControlFan heading = transport->readFanInventory()[1];
  EXPECT_EQ(heading.targetRPM, 3650);
  EXPECT_EQ(heading.actualRPM, 1200);  // no time has passed yet
  clock.sleepFor(1.2);
  EXPECT_NEAR(transport->readFanInventory()[1].actualRPM, 3650 - 2450 * std::exp(-1.0), 0.5);
  clock.sleepFor(20);
  EXPECT_NEAR(transport->readFanInventory()[1].actualRPM, 3650, 0.5);
}

TEST_F(SimulatedSmcTest, InjectedFaultsRefuseAsTheControllerWould) {
  makeWorld("intel");
  // A result code refuses the write, which then does not happen.
  change([](WorldRecord& world) {
    world.smc.faults.push_back({.key = "F0Md", .command = Command::write, .kind = Fault::result, .value = 0x87});
  });
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 0, false); }),
            controllerRefusal("key=F0Md, command=6, I/O=0, SMC result=135, SMC status=0, reply bytes=80"));
  EXPECT_EQ(world().smc.fans[0].mode, 0);
  // The fan stays marked: the write was sent, whatever came back.
  EXPECT_TRUE(transport->modeWritesNeedingCancellation().contains(0));
  // Reads of the same key and writes of other keys are not affected.
  EXPECT_EQ(transport->readValue("F0Md").bytes, std::vector<std::uint8_t>{0});
  verifier().writeFanMode(true, 1, false);

  // A short answer is refused even though the controller did what was asked.
  change([](WorldRecord& world) {
    world.smc.faults = {{.key = "F0Md", .command = Command::write, .kind = Fault::shortReply, .value = 40}};
  });
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 0, false); }),
            controllerRefusal("key=F0Md, command=6, I/O=0, SMC result=0, SMC status=0, reply bytes=40"));
  EXPECT_EQ(world().smc.fans[0].mode, 1);
  change([](WorldRecord& world) { world.smc.faults.clear(); });
  verifier().writeFanMode(false, 0, /*touched=*/false);  // returned to automatic from there
  EXPECT_EQ(world().smc.fans[0].mode, 0);

  // A failing driver call on every key-info call ends the inventory at once.
  change([](WorldRecord& world) {
    world.smc.faults = {{.command = Command::info, .kind = Fault::ioError, .value = -536870212}};
  });
  EXPECT_EQ(fanRefusalOf([&] { transport->readFanInventory(); }),
            controllerRefusal("key=FNum, command=9, I/O=-536870212, SMC result=0, SMC status=0, reply bytes=0"));

  // A counted fault applies to the next matching calls only, and then leaves the world.
  change([](WorldRecord& world) {
    world.smc.faults = {{.key = "TC0P", .kind = Fault::result, .value = 0x84, .remaining = 1}};
  });
  const fan::TemperatureKeys keys = FanSMCTransport::temperatureKeys(brand());
  EXPECT_EQ(transport->readTemperature(keys.cpu), 43.5);  // the next sensor, 1.5 °C cooler
  EXPECT_TRUE(world().smc.faults.empty());
  EXPECT_EQ(transport->readTemperature(keys.cpu), 45.0);
}

TEST_F(SimulatedSmcTest, FansTakenBehindTheHelpersBackAreNeverFought) {
  makeWorld("m4");
  change([&](WorldRecord& world) { sim::applyFanTakeover(world, {.fan = 0, .mode = 1}, clock.now()); });
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanMode(true, 0, false); }),
            "Fan 1 was already in manual mode before Tidewarden acquired it. No target was written.");
  change([&](WorldRecord& world) { sim::applyFanTakeover(world, {.fan = 0, .mode = 0}, clock.now()); });
  verifier().writeFanMode(true, 0, false);

  // Taken back to automatic in the middle of the target observation: after the mode
  // and target reads before the write (4 calls), the write (1) and the first mode read
  // of the observation (2), it lands before the target read, and the mode read that
  // follows finds the fan automatic.
  change([](WorldRecord& world) { world.smc.takeovers.push_back({.fan = 0, .mode = 0, .afterCalls = 8}); });
  EXPECT_EQ(fanRefusalOf([&] { verifier().writeFanTarget(3000, 0); }),
            "Fan 1 lost confirmed manual mode during target observation (F0Md: type=ui8 , value=0.000, "
            "bytes=[00]). No target rewrite or mode reacquisition was attempted.");
  EXPECT_TRUE(world().smc.takeovers.empty());
  EXPECT_EQ(world().smc.fans[0].mode, 0);
}

TEST_F(SimulatedSmcTest, AWorldThatCannotBeReadIsAControllerThatDoesNotAnswer) {
  makeWorld("m1");
  std::ofstream(dir->path() + "/world.json") << "{ not json";
  EXPECT_EQ(fanRefusalOf([&] { transport->readValue("FNum"); }),
            controllerRefusal("key=FNum, command=9, I/O=-536870163, SMC result=0, SMC status=0, reply bytes=0"));
}

}  // namespace
}  // namespace tidewarden::testing
