// JSON coding of RescueDriveStartResponse.
#include "rescue/rescue_drive_start_response.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescueDriveStartResponse RescueDriveStartResponse::fromJson(const nlohmann::json& object) {
  return RescueDriveStartResponse{
      .accepted = json::required<bool>(object, "accepted"),
      .operationID = json::optional<std::string>(object, "operationID"),
      .message = json::required<std::string>(object, "message"),
  };
}

RescueDriveStartResponse RescueDriveStartResponse::decode(std::string_view bytes) {
  return json::decodeDocument<RescueDriveStartResponse>(bytes);
}

nlohmann::json RescueDriveStartResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "accepted", accepted);
  json::put(object, "operationID", operationID);
  json::put(object, "message", message);
  return object;
}

}  // namespace tidewarden::rescue
