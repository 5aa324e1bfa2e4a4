// JSON coding of FanControlReply.
#include "fan/fan_control_reply.h"

namespace tidewarden::fan {

namespace json = platform::json;

FanControlReply FanControlReply::fromJson(const nlohmann::json& object) {
  return FanControlReply{
      .accepted = json::required<bool>(object, "accepted"),
      .status = json::optional<FanControlStatus>(object, "status"),
      .message = json::required<std::string>(object, "message"),
      .diagnostics = json::optional<std::string>(object, "diagnostics"),
  };
}

FanControlReply FanControlReply::decode(std::string_view bytes) {
  return json::decodeDocument<FanControlReply>(bytes);
}

nlohmann::json FanControlReply::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "accepted", accepted);
  json::put(object, "status", status);
  json::put(object, "message", message);
  json::put(object, "diagnostics", diagnostics);
  return object;
}

}  // namespace tidewarden::fan
