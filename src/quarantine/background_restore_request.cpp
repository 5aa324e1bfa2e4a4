// JSON coding of BackgroundRestoreRequest.
#include "quarantine/background_restore_request.h"

namespace tidewarden::quarantine {

namespace json = platform::json;

BackgroundRestoreRequest BackgroundRestoreRequest::fromJson(const nlohmann::json& object) {
  return BackgroundRestoreRequest{
      .quarantineID = json::required<std::string>(object, "quarantineID"),
  };
}

BackgroundRestoreRequest BackgroundRestoreRequest::decode(std::string_view bytes) {
  return json::decodeDocument<BackgroundRestoreRequest>(bytes);
}

nlohmann::json BackgroundRestoreRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "quarantineID", quarantineID);
  return object;
}

}  // namespace tidewarden::quarantine
