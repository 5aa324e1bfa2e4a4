// The Mac models the simulator can be: CPU brand, model identifier, fans, and the controller keys each answers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/world.h"

namespace tidewarden::sim {

// A model a world can be set to (`tidewarden-sim world set-model NAME`).
struct SimulatedModel {
  std::string_view name;             // the verb's argument: "intel", "m1", ...
  std::string_view cpuBrand;         // what the machine reports as its CPU brand string
  std::string_view modelIdentifier;  // what it reports as its model
  struct FanLimits {
    double minimumRPM;
    double maximumRPM;
  };
  std::vector<FanLimits> fans;
};

// Every model, the default first.
const std::vector<SimulatedModel>& simulatedModels();
// The model called `name`, or nullptr.
const SimulatedModel* findSimulatedModel(std::string_view name);
// The model a new simulated Mac is.
const SimulatedModel& defaultSimulatedModel();

// Makes `world` the model: its brand, identifier and fans, every fan automatic and
// settled at its automatic speed as of clock time `now`. Faults and pending takeovers
// are dropped (they named the old model's keys and fans); temperatures stay.
void applySimulatedModel(WorldRecord& world, const SimulatedModel& model, double now);

// The world of a new simulated Mac: the default model at rest, its fans automatic,
// the CPU at 45 °C and the GPU at 40 °C, thermal state nominal.
WorldRecord freshWorldRecord(double now);

// The controller keys a machine answers, decided by its CPU brand string the way real
// machines differ: Intel controllers use "fpe2" fan registers and "sp78" sensors, Apple
// silicon "flt " for both, and each chip generation names its sensors differently. A
// brand this table does not know is treated as Apple silicon without sensors.
struct SmcKeyLayout {
  std::string fanType;                  // "fpe2" or "flt "
  std::string sensorType;               // "sp78" or "flt "
  std::vector<std::string> cpuSensors;  // answered with the CPU temperature, hottest first
  std::vector<std::string> gpuSensors;  // answered with the GPU temperature, hottest first
  bool hasFanTestKey = false;           // "Ftst" exists (Apple silicon)
};
SmcKeyLayout smcKeyLayoutForBrand(std::string_view cpuBrand);

}  // namespace tidewarden::sim
