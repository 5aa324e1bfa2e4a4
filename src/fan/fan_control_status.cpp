// JSON coding of FanControlStatus.
#include "fan/fan_control_status.h"

namespace tidewarden::fan {

namespace json = platform::json;

FanControlStatus FanControlStatus::fromJson(const nlohmann::json& object) {
  return FanControlStatus{
      .checkedAt = json::required<platform::json::Date>(object, "checkedAt"),
      .fans = json::required<std::vector<FanControlFan>>(object, "fans"),
      .mode = json::required<FanControlMode>(object, "mode"),
      .sessionID = json::optional<std::string>(object, "sessionID"),
      .supported = json::required<bool>(object, "supported"),
      .message = json::required<std::string>(object, "message"),
      .cpuTemperature = json::optional<double>(object, "cpuTemperature"),
      .gpuTemperature = json::optional<double>(object, "gpuTemperature"),
      .sessionExpiresAt = json::optional<platform::json::Date>(object, "sessionExpiresAt"),
      .boostFloors = json::optional<std::map<std::int32_t, double>>(object, "boostFloors"),
      .restorationPending = json::optional<bool>(object, "restorationPending"),
      .diagnostics = json::optional<std::string>(object, "diagnostics"),
  };
}

nlohmann::json FanControlStatus::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "checkedAt", checkedAt);
  json::put(object, "fans", fans);
  json::put(object, "mode", mode);
  json::put(object, "sessionID", sessionID);
  json::put(object, "supported", supported);
  json::put(object, "message", message);
  json::put(object, "cpuTemperature", cpuTemperature);
  json::put(object, "gpuTemperature", gpuTemperature);
  json::put(object, "sessionExpiresAt", sessionExpiresAt);
  json::put(object, "boostFloors", boostFloors);
  json::put(object, "restorationPending", restorationPending);
  json::put(object, "diagnostics", diagnostics);
  return object;
}

}  // namespace tidewarden::fan
