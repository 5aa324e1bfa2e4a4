// The request of fanControl:withReply:, with its action and thermal-source enumerations.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fan/fan_control_mode.h"
#include "platform/json_codec.h"

namespace tidewarden::fan {

// The temperature that drives Auto Max; "either" uses the higher available reading.
enum class FanThermalSource { cpu, gpu, either };

inline constexpr std::array<std::pair<FanThermalSource, std::string_view>, 3>
    kFanThermalSourceRawValues{{
        {FanThermalSource::cpu, "cpu"},
        {FanThermalSource::gpu, "gpu"},
        {FanThermalSource::either, "either"},
    }};

constexpr const auto& jsonEnumValues(FanThermalSource) { return kFanThermalSourceRawValues; }

// What the application asks of fan control. Decoding checks field shapes only; ranges,
// the acknowledgment and the session are judged by the coordinator.
struct FanControlRequest {
  enum class Action { inspect, apply, renew, restore };

  Action action = Action::inspect;               // what to do
  FanControlMode mode = FanControlMode::system;  // requested mode (used by apply)
  std::optional<std::string> sessionID;          // session the application believes it owns
  std::map<std::int32_t, double> targets;        // requested RPM by fan id (manual mode)
  FanThermalSource thermalSource = FanThermalSource::cpu;  // temperature that drives Auto Max
  double thresholdCelsius = 0;                             // Auto Max trigger temperature
  bool acknowledged = false;                               // the user's explicit acknowledgment

  // Strict decoding; throws platform::json::DecodeError.
  static FanControlRequest fromJson(const nlohmann::json& object);
  static FanControlRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const FanControlRequest&, const FanControlRequest&) = default;
};

inline constexpr std::array<std::pair<FanControlRequest::Action, std::string_view>, 4>
    kFanControlRequestActionRawValues{{
        {FanControlRequest::Action::inspect, "inspect"},
        {FanControlRequest::Action::apply, "apply"},
        {FanControlRequest::Action::renew, "renew"},
        {FanControlRequest::Action::restore, "restore"},
    }};

constexpr const auto& jsonEnumValues(FanControlRequest::Action) {
  return kFanControlRequestActionRawValues;
}

}  // namespace tidewarden::fan
