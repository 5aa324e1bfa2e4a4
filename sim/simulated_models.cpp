// The Mac models the simulator can be: CPU brand, model identifier, fans, and the controller keys each answers.
#include "sim/simulated_models.h"

#include <algorithm>

#include "sim/simulated_smc.h"

namespace tidewarden::sim {
namespace {

bool containsIntel(std::string_view brand) {
  std::string lower(brand);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
  return lower.find("intel") != std::string::npos;
}

bool isChip(std::string_view brand, std::string_view chip) {
  return brand == chip ||
         (brand.size() > chip.size() && brand.substr(0, chip.size()) == chip && brand[chip.size()] == ' ');
}

}  // namespace

const std::vector<SimulatedModel>& simulatedModels() {
  static const std::vector<SimulatedModel> models = {
      {"m4-pro", "Apple M4 Pro", "Mac16,8", {{1200, 5700}, {1200, 6100}}},
      {"intel", "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz", "MacBookPro16,1", {{1800, 5400}, {1800, 5900}}},
      {"m1", "Apple M1", "MacBookPro17,1", {{1200, 7200}}},
      {"m2", "Apple M2", "Mac14,7", {{1200, 7200}}},
      {"m3", "Apple M3", "Mac15,3", {{1200, 6500}}},
      {"m4", "Apple M4", "Mac16,1", {{1200, 4900}}},
  };
  return models;
}

const SimulatedModel* findSimulatedModel(std::string_view name) {
  for (const SimulatedModel& model : simulatedModels()) {
    if (model.name == name) return &model;
  }
  return nullptr;
}

const SimulatedModel& defaultSimulatedModel() { return simulatedModels().front(); }

void applySimulatedModel(WorldRecord& world, const SimulatedModel& model, double now) {
  world.machine = WorldMachine{std::string(model.cpuBrand), std::string(model.modelIdentifier)};
  world.smc = WorldSmc{};
  for (const SimulatedModel::FanLimits& limits : model.fans) {
    WorldFan fan{.minimumRPM = limits.minimumRPM, .maximumRPM = limits.maximumRPM, .actualAt = now};
    fan.targetRPM = automaticTargetRPM(fan, world.thermal);
    fan.actualRPM = fan.targetRPM;
    world.smc.fans.push_back(fan);
  }
}

WorldRecord freshWorldRecord(double now) {
  WorldRecord world;
  world.thermal = WorldThermal{WorldThermalState::nominal, 45.0, 40.0};
  applySimulatedModel(world, defaultSimulatedModel(), now);
  world.tools = freshWorldTools();
  world.disks = freshWorldDisks();
  return world;
}

SmcKeyLayout smcKeyLayoutForBrand(std::string_view brand) {
  // Each model answers some of the sensors the helper looks for, in its own order, and
  // lacks others, as real machines do.
  if (containsIntel(brand)) return {"fpe2", "sp78", {"TC0P", "TC0D"}, {"TG0D", "TG0P"}, false};
  if (isChip(brand, "Apple M1")) return {"flt ", "flt ", {"Tp09", "Tp0T", "Tp01", "Tp05"}, {"Tg05", "Tg0D"}, true};
  if (isChip(brand, "Apple M2")) return {"flt ", "flt ", {"Tp1h", "Tp1t", "Tp01", "Tp0D"}, {"Tg0f", "Tg0j"}, true};
  if (isChip(brand, "Apple M3")) return {"flt ", "flt ", {"Te05", "Te0L", "Tf04", "Tf09"}, {"Tf14", "Tf18"}, true};
  if (isChip(brand, "Apple M4")) {
    // The base chip and its variants place their GPU sensors differently.
    std::vector<std::string> gpu =
        brand == "Apple M4" ? std::vector<std::string>{"Tg0G", "Tg0H"} : std::vector<std::string>{"Tg1U", "Tg1k"};
    return {"flt ", "flt ", {"Te05", "Te0S", "Tp01", "Tp05"}, std::move(gpu), true};
  }
  return {"flt ", "flt ", {}, {}, true};
}

}  // namespace tidewarden::sim
