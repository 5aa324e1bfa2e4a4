// The Auto Max trigger temperature that every apply must carry.
#include "fan/auto_max_threshold.h"

#include <cmath>

#include "fan/fan_control_error.h"

namespace tidewarden::fan {

void validateAutoMaxThreshold(double thresholdCelsius) {
  if (!std::isfinite(thresholdCelsius) || thresholdCelsius < kAutoMaxThresholdMinimum ||
      thresholdCelsius > kAutoMaxThresholdMaximum) {
    throw FanControlError::refused("Auto Max threshold must be 60\u201390\u00B0C.");
  }
}

}  // namespace tidewarden::fan
