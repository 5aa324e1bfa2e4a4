// JSON coding of FanControlFan.
#include "fan/fan_control_fan.h"

namespace tidewarden::fan {

namespace json = platform::json;

FanControlFan FanControlFan::fromJson(const nlohmann::json& object) {
  return FanControlFan{
      .id = json::required<std::int32_t>(object, "id"),
      .name = json::required<std::string>(object, "name"),
      .actualRPM = json::required<double>(object, "actualRPM"),
      .minimumRPM = json::required<double>(object, "minimumRPM"),
      .maximumRPM = json::required<double>(object, "maximumRPM"),
      .targetRPM = json::required<double>(object, "targetRPM"),
      .manual = json::required<bool>(object, "manual"),
  };
}

nlohmann::json FanControlFan::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "id", id);
  json::put(object, "name", name);
  json::put(object, "actualRPM", actualRPM);
  json::put(object, "minimumRPM", minimumRPM);
  json::put(object, "maximumRPM", maximumRPM);
  json::put(object, "targetRPM", targetRPM);
  json::put(object, "manual", manual);
  return object;
}

}  // namespace tidewarden::fan
