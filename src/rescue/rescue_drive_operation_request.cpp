// JSON coding of RescueDriveOperationRequest.
#include "rescue/rescue_drive_operation_request.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescueDriveOperationRequest RescueDriveOperationRequest::fromJson(const nlohmann::json& object) {
  return RescueDriveOperationRequest{
      .operationID = json::required<std::string>(object, "operationID"),
  };
}

RescueDriveOperationRequest RescueDriveOperationRequest::decode(std::string_view bytes) {
  return json::decodeDocument<RescueDriveOperationRequest>(bytes);
}

nlohmann::json RescueDriveOperationRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "operationID", operationID);
  return object;
}

}  // namespace tidewarden::rescue
