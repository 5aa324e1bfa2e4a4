// JSON coding of InstallerPreparationPreflightResponse.
#include "storage/installer_preparation_preflight_response.h"

namespace tidewarden::storage {

namespace json = platform::json;

InstallerPreparationPreflightResponse InstallerPreparationPreflightResponse::fromJson(
    const nlohmann::json& object) {
  return InstallerPreparationPreflightResponse{
      .allowed = json::required<bool>(object, "allowed"),
      .message = json::required<std::string>(object, "message"),
      .availableBytes = json::optional<std::int64_t>(object, "availableBytes"),
      .estimatedAdditionalBytes = json::required<std::int64_t>(object, "estimatedAdditionalBytes"),
  };
}

InstallerPreparationPreflightResponse InstallerPreparationPreflightResponse::decode(
    std::string_view bytes) {
  return json::decodeDocument<InstallerPreparationPreflightResponse>(bytes);
}

nlohmann::json InstallerPreparationPreflightResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "allowed", allowed);
  json::put(object, "message", message);
  json::put(object, "availableBytes", availableBytes);
  json::put(object, "estimatedAdditionalBytes", estimatedAdditionalBytes);
  return object;
}

}  // namespace tidewarden::storage
