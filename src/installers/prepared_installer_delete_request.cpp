// JSON coding of PreparedInstallerDeleteRequest.
#include "installers/prepared_installer_delete_request.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerDeleteRequest PreparedInstallerDeleteRequest::fromJson(
    const nlohmann::json& object) {
  return PreparedInstallerDeleteRequest{
      .candidateID = json::required<std::string>(object, "candidateID"),
      .permanentDeletionAcknowledged =
          json::required<bool>(object, "permanentDeletionAcknowledged"),
      .noInstallationInProgressAcknowledged =
          json::required<bool>(object, "noInstallationInProgressAcknowledged"),
  };
}

PreparedInstallerDeleteRequest PreparedInstallerDeleteRequest::decode(std::string_view bytes) {
  return json::decodeDocument<PreparedInstallerDeleteRequest>(bytes);
}

nlohmann::json PreparedInstallerDeleteRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "candidateID", candidateID);
  json::put(object, "permanentDeletionAcknowledged", permanentDeletionAcknowledged);
  json::put(object, "noInstallationInProgressAcknowledged", noInstallationInProgressAcknowledged);
  return object;
}

}  // namespace tidewarden::installers
