// JSON coding of InstallerPreparationPreflightRequest.
#include "storage/installer_preparation_preflight_request.h"

namespace tidewarden::storage {

namespace json = platform::json;

InstallerPreparationPreflightRequest InstallerPreparationPreflightRequest::fromJson(
    const nlohmann::json& object) {
  return InstallerPreparationPreflightRequest{
      .packageBytes = json::required<std::int64_t>(object, "packageBytes"),
      .packageAlreadyDownloaded = json::required<bool>(object, "packageAlreadyDownloaded"),
  };
}

InstallerPreparationPreflightRequest InstallerPreparationPreflightRequest::decode(
    std::string_view bytes) {
  return json::decodeDocument<InstallerPreparationPreflightRequest>(bytes);
}

nlohmann::json InstallerPreparationPreflightRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "packageBytes", packageBytes);
  json::put(object, "packageAlreadyDownloaded", packageAlreadyDownloaded);
  return object;
}

}  // namespace tidewarden::storage
