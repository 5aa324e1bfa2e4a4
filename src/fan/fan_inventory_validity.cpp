// When a fan inventory counts as valid: the first of the pure fan rules.
#include "fan/fan_inventory_validity.h"

#include <bitset>
#include <cmath>

namespace tidewarden::fan {

bool isValidFanInventory(const std::vector<FanControlFan>& fans) {
  if (fans.empty() || fans.size() > kMaxFanCount) return false;
  std::bitset<kMaxFanCount> seen;
  for (const FanControlFan& fan : fans) {
    if (fan.id < 0 || fan.id >= static_cast<std::int32_t>(kMaxFanCount)) return false;
    if (seen.test(static_cast<std::size_t>(fan.id))) return false;
    seen.set(static_cast<std::size_t>(fan.id));
    if (!std::isfinite(fan.actualRPM) || !std::isfinite(fan.minimumRPM) || !std::isfinite(fan.maximumRPM) ||
        !std::isfinite(fan.targetRPM)) {
      return false;
    }
    if (fan.actualRPM < 0 || fan.actualRPM > kMaxPlausibleRPM) return false;
    if (fan.minimumRPM < 0 || fan.maximumRPM > kMaxPlausibleRPM) return false;
    if (!(fan.maximumRPM > fan.minimumRPM) || fan.maximumRPM < kMinimumBoostRPM) return false;
  }
  return true;
}

}  // namespace tidewarden::fan
