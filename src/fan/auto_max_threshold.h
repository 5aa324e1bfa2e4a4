// The Auto Max trigger temperature that every apply must carry.
#pragma once

namespace tidewarden::fan {

inline constexpr double kAutoMaxThresholdMinimum = 60;  // degrees Celsius
inline constexpr double kAutoMaxThresholdMaximum = 90;  // degrees Celsius

// Accepts a finite threshold within 60...90 °C inclusive, whatever mode is requested;
// otherwise throws FanControlError::refused("Auto Max threshold must be 60–90°C.").
void validateAutoMaxThreshold(double thresholdCelsius);

}  // namespace tidewarden::fan
