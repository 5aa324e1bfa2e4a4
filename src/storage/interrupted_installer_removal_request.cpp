// JSON coding of InterruptedInstallerRemovalRequest.
#include "storage/interrupted_installer_removal_request.h"

namespace tidewarden::storage {

namespace json = platform::json;

InterruptedInstallerRemovalRequest InterruptedInstallerRemovalRequest::fromJson(
    const nlohmann::json& object) {
  return InterruptedInstallerRemovalRequest{
      .candidateIDs = json::required<std::vector<std::string>>(object, "candidateIDs"),
      .noInstallationInProgressAcknowledged =
          json::required<bool>(object, "noInstallationInProgressAcknowledged"),
  };
}

InterruptedInstallerRemovalRequest InterruptedInstallerRemovalRequest::decode(
    std::string_view bytes) {
  return json::decodeDocument<InterruptedInstallerRemovalRequest>(bytes);
}

nlohmann::json InterruptedInstallerRemovalRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "candidateIDs", candidateIDs);
  json::put(object, "noInstallationInProgressAcknowledged", noInstallationInProgressAcknowledged);
  return object;
}

}  // namespace tidewarden::storage
