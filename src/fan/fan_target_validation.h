// Checking a requested set of fan targets before any write.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "fan/fan_messages.h"

namespace tidewarden::fan {

// The targets to apply for `mode`, judged against the inventory just read (`fans`)
// and the boost floors of the reference inventory. Max and Auto Max take every fan's
// maximum and ignore `requested`; Manual Boost needs exactly one target per fan, each
// within [largest of 600, minimum and floor ... maximum]. Nothing is clamped or
// raised: the first fan out of range refuses the whole request, so no partial target
// set ever exists. Throws FanControlError::refused with the sentence for the first
// failing check; System is not a mode that has targets and is refused too.
std::map<std::int32_t, double> validateRequestedTargets(FanControlMode mode,
                                                        const std::map<std::int32_t, double>& requested,
                                                        const std::vector<FanControlFan>& fans,
                                                        const std::map<std::int32_t, double>& floors);

}  // namespace tidewarden::fan
