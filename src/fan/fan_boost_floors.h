// The per-fan boost floor: the lowest manual target a fan may be given.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "fan/fan_messages.h"

namespace tidewarden::fan {

// For each fan: the largest of 600 RPM, its minimum and its actual speed, capped at
// its maximum, keyed by fan id. A manual target therefore never slows a fan below what
// it is doing now. A fan with a non-finite reading gets a NaN floor, which target
// validation refuses, rather than a floor guessed from the readings that remain. Should
// an id appear twice, the higher floor (or NaN) is kept (the inventory rule refuses such a list
// anyway).
std::map<std::int32_t, double> computeBoostFloors(const std::vector<FanControlFan>& fans);

}  // namespace tidewarden::fan
