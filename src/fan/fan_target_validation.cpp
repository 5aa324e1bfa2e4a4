// Checking a requested set of fan targets before any write.
#include "fan/fan_target_validation.h"

#include <algorithm>
#include <cmath>

#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_text.h"

namespace tidewarden::fan {
namespace {

constexpr const char* kUnverifiedInventory = "Fan count, limits or actual speeds could not be verified.";
constexpr const char* kIdentifiersMismatch =
    "Review a target for every detected fan. Missing or extra fan identifiers are rejected.";
constexpr const char* kTargetOrFloorUnavailable =
    "Fan target or boost floor is unavailable. Check fans and review every target again.";

std::string outOfRange(const FanControlFan& fan, double target, double lower) {
  return "Fan " + std::to_string(fan.id) + ": requested " + formatFixed3(target) + " RPM; current boost-only range " +
         formatFixed3(lower) + "\u2013" + formatFixed3(fan.maximumRPM) +
         " RPM. All targets were rejected before writes. Refresh the fan check and explicitly choose targets within "
         "the new ranges; no target is increased automatically.";
}

bool sameIdentifiers(const std::map<std::int32_t, double>& requested, const std::vector<FanControlFan>& fans) {
  if (requested.size() != fans.size()) return false;
  return std::all_of(fans.begin(), fans.end(), [&](const FanControlFan& fan) { return requested.contains(fan.id); });
}

}  // namespace

std::map<std::int32_t, double> validateRequestedTargets(FanControlMode mode,
                                                        const std::map<std::int32_t, double>& requested,
                                                        const std::vector<FanControlFan>& fans,
                                                        const std::map<std::int32_t, double>& floors) {
  if (!isValidFanInventory(fans)) throw FanControlError::refused(kUnverifiedInventory);
  switch (mode) {
    case FanControlMode::maximum:
    case FanControlMode::autoMax: {
      std::map<std::int32_t, double> maxima;
      for (const FanControlFan& fan : fans) maxima.emplace(fan.id, fan.maximumRPM);
      return maxima;
    }
    case FanControlMode::system:
      throw FanControlError::refused(kIdentifiersMismatch);
    case FanControlMode::manual:
      break;
  }
  // A valid inventory has distinct ids, so equal sizes and every id present means
  // the two key sets are equal.
  if (!sameIdentifiers(requested, fans)) throw FanControlError::refused(kIdentifiersMismatch);
  for (const FanControlFan& fan : fans) {
    const double target = requested.at(fan.id);
    const auto floor = floors.find(fan.id);
    if (!std::isfinite(target) || floor == floors.end() || !std::isfinite(floor->second)) {
      throw FanControlError::refused(kTargetOrFloorUnavailable);
    }
    const double lower = std::max({kMinimumBoostRPM, fan.minimumRPM, floor->second});
    if (target < lower || target > fan.maximumRPM) throw FanControlError::refused(outOfRange(fan, target, lower));
  }
  return requested;
}

}  // namespace tidewarden::fan
