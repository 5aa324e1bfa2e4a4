// The per-fan boost floor: the lowest manual target a fan may be given.
#include "fan/fan_boost_floors.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fan/fan_inventory_validity.h"

namespace tidewarden::fan {

std::map<std::int32_t, double> computeBoostFloors(const std::vector<FanControlFan>& fans) {
  std::map<std::int32_t, double> floors;
  for (const FanControlFan& fan : fans) {
    double floor = std::numeric_limits<double>::quiet_NaN();
    if (std::isfinite(fan.minimumRPM) && std::isfinite(fan.actualRPM) && std::isfinite(fan.maximumRPM)) {
      floor = std::min(std::max({kMinimumBoostRPM, fan.minimumRPM, fan.actualRPM}), fan.maximumRPM);
    }
    const auto [existing, inserted] = floors.emplace(fan.id, floor);
    if (!inserted && !std::isnan(existing->second) && (std::isnan(floor) || floor > existing->second)) {
      existing->second = floor;
    }
  }
  return floors;
}

}  // namespace tidewarden::fan
