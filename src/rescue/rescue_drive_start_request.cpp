// JSON coding of RescueDriveStartRequest.
#include "rescue/rescue_drive_start_request.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescueDriveStartRequest RescueDriveStartRequest::fromJson(const nlohmann::json& object) {
  return RescueDriveStartRequest{
      .installerPath = json::required<std::string>(object, "installerPath"),
      .destination = json::required<RescueDestination>(object, "destination"),
      .confirmedScope = json::required<RescueDestinationScope>(object, "confirmedScope"),
      .destinationProtocol = json::required<std::string>(object, "destinationProtocol"),
  };
}

RescueDriveStartRequest RescueDriveStartRequest::decode(std::string_view bytes) {
  return json::decodeDocument<RescueDriveStartRequest>(bytes);
}

nlohmann::json RescueDriveStartRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "installerPath", installerPath);
  json::put(object, "destination", destination);
  json::put(object, "confirmedScope", confirmedScope);
  json::put(object, "destinationProtocol", destinationProtocol);
  return object;
}

}  // namespace tidewarden::rescue
