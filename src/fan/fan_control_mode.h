// The fan-control modes a request asks for and a status reports.
#pragma once

#include <array>
#include <string_view>
#include <utility>

namespace tidewarden::fan {

enum class FanControlMode {
  system,   // the controller's own automatic control; no override
  manual,   // fixed per-fan targets chosen by the user (Manual Boost)
  maximum,  // every fan held at its detected maximum
  autoMax,  // System below a temperature threshold, every fan at maximum above it
};

inline constexpr std::array<std::pair<FanControlMode, std::string_view>, 4>
    kFanControlModeRawValues{{
        {FanControlMode::system, "system"},
        {FanControlMode::manual, "manual"},
        {FanControlMode::maximum, "maximum"},
        {FanControlMode::autoMax, "autoMax"},
    }};

constexpr const auto& jsonEnumValues(FanControlMode) { return kFanControlModeRawValues; }

// The name used for the mode in user-facing messages.
constexpr std::string_view displayName(FanControlMode mode) {
  switch (mode) {
    case FanControlMode::system:
      return "System";
    case FanControlMode::manual:
      return "Manual Boost";
    case FanControlMode::maximum:
      return "Max";
    case FanControlMode::autoMax:
      return "Auto Max";
  }
  return "System";
}

}  // namespace tidewarden::fan
