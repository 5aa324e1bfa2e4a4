// JSON coding of FanControlRequest.
#include "fan/fan_control_request.h"

namespace tidewarden::fan {

namespace json = platform::json;

FanControlRequest FanControlRequest::fromJson(const nlohmann::json& object) {
  return FanControlRequest{
      .action = json::required<Action>(object, "action"),
      .mode = json::required<FanControlMode>(object, "mode"),
      .sessionID = json::optional<std::string>(object, "sessionID"),
      .targets = json::required<std::map<std::int32_t, double>>(object, "targets"),
      .thermalSource = json::required<FanThermalSource>(object, "thermalSource"),
      .thresholdCelsius = json::required<double>(object, "thresholdCelsius"),
      .acknowledged = json::required<bool>(object, "acknowledged"),
  };
}

FanControlRequest FanControlRequest::decode(std::string_view bytes) {
  return json::decodeDocument<FanControlRequest>(bytes);
}

nlohmann::json FanControlRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "action", action);
  json::put(object, "mode", mode);
  json::put(object, "sessionID", sessionID);
  json::put(object, "targets", targets);
  json::put(object, "thermalSource", thermalSource);
  json::put(object, "thresholdCelsius", thresholdCelsius);
  json::put(object, "acknowledged", acknowledged);
  return object;
}

}  // namespace tidewarden::fan
