// JSON coding of MoveRecord.
#include "quarantine/move_record.h"

namespace tidewarden::quarantine {

namespace json = platform::json;

MoveRecord MoveRecord::fromJson(const nlohmann::json& object) {
  return MoveRecord{
      .original = json::required<std::string>(object, "original"),
      .quarantined = json::required<std::string>(object, "quarantined"),
  };
}

nlohmann::json MoveRecord::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "original", original);
  json::put(object, "quarantined", quarantined);
  return object;
}

}  // namespace tidewarden::quarantine
