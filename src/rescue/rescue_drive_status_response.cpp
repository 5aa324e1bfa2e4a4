// JSON coding of RescueDriveStatusResponse.
#include "rescue/rescue_drive_status_response.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescueDriveStatusResponse RescueDriveStatusResponse::fromJson(const nlohmann::json& object) {
  return RescueDriveStatusResponse{
      .operationID = json::required<std::string>(object, "operationID"),
      .phase = json::required<RescueDrivePhase>(object, "phase"),
      .progressPercent = json::required<std::int32_t>(object, "progressPercent"),
      .message = json::required<std::string>(object, "message"),
      .finished = json::required<bool>(object, "finished"),
      .success = json::required<bool>(object, "success"),
      .errorMessage = json::optional<std::string>(object, "errorMessage"),
      .liveProgress = json::optional<RescueCreationProgress>(object, "liveProgress"),
  };
}

RescueDriveStatusResponse RescueDriveStatusResponse::decode(std::string_view bytes) {
  return json::decodeDocument<RescueDriveStatusResponse>(bytes);
}

nlohmann::json RescueDriveStatusResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "operationID", operationID);
  json::put(object, "phase", phase);
  json::put(object, "progressPercent", progressPercent);
  json::put(object, "message", message);
  json::put(object, "finished", finished);
  json::put(object, "success", success);
  json::put(object, "errorMessage", errorMessage);
  json::put(object, "liveProgress", liveProgress);
  return object;
}

}  // namespace tidewarden::rescue
