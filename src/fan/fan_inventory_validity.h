// When a fan inventory counts as valid: the first of the pure fan rules.
#pragma once

#include <vector>

#include "fan/fan_messages.h"

namespace tidewarden::fan {

// Largest number of fans the controller keys can address (F0.. to F7..).
inline constexpr std::size_t kMaxFanCount = 8;
// Highest speed any reading or target may claim.
inline constexpr double kMaxPlausibleRPM = 20000;
// No fan whose maximum is below this is controlled, and no target goes below it.
inline constexpr double kMinimumBoostRPM = 600;

// True when the list holds 1 to 8 fans with distinct ids in 0...7, every speed is
// finite, 0 <= actual <= 20000, minimum >= 0, maximum <= 20000, maximum > minimum and
// maximum >= 600. It has no message of its own: each caller refuses in its own words.
bool isValidFanInventory(const std::vector<FanControlFan>& fans);

}  // namespace tidewarden::fan
