// JSON coding of InstallerPreparationSafetyResponse.
#include "storage/installer_preparation_safety_response.h"

namespace tidewarden::storage {

namespace json = platform::json;

InstallerPreparationSafetyResponse InstallerPreparationSafetyResponse::fromJson(
    const nlohmann::json& object) {
  return InstallerPreparationSafetyResponse{
      .passed = json::required<bool>(object, "passed"),
      .message = json::required<std::string>(object, "message"),
      .cleanup = json::optional<InstallerPreparationCleanupReport>(object, "cleanup"),
  };
}

InstallerPreparationSafetyResponse InstallerPreparationSafetyResponse::decode(
    std::string_view bytes) {
  return json::decodeDocument<InstallerPreparationSafetyResponse>(bytes);
}

nlohmann::json InstallerPreparationSafetyResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "passed", passed);
  json::put(object, "message", message);
  json::put(object, "cleanup", cleanup);
  return object;
}

}  // namespace tidewarden::storage
