// The fan-control snapshot carried by every fan reply that can build one.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "fan/fan_control_fan.h"
#include "fan/fan_control_mode.h"
#include "platform/json_codec.h"

namespace tidewarden::fan {

// Fans, mode and session as seen when the snapshot was taken.
struct FanControlStatus {
  platform::json::Date checkedAt;   // when the snapshot was taken
  std::vector<FanControlFan> fans;  // current inventory, in index order
  // mode of the active session; system when there is none
  FanControlMode mode = FanControlMode::system;
  std::optional<std::string> sessionID;  // identifier of the active session
  bool supported = false;  // no recovery block or pending restoration, and a valid inventory
  std::string message;     // the coordinator's current message
  std::optional<double> cpuTemperature;  // degrees Celsius; absent without a reading
  std::optional<double> gpuTemperature;  // degrees Celsius; absent without a reading
  // declared for the application; this helper leaves it absent
  std::optional<platform::json::Date> sessionExpiresAt;
  std::optional<std::map<std::int32_t, double>> boostFloors;  // per-fan boost floor by fan id
  std::optional<bool> restorationPending;                     // a return to System is unfinished
  std::optional<std::string> diagnostics;                     // the fan-control report

  // Strict decoding; throws platform::json::DecodeError.
  static FanControlStatus fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const FanControlStatus&, const FanControlStatus&) = default;
};

}  // namespace tidewarden::fan
