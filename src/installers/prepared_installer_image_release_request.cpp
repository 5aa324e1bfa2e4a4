// JSON coding of PreparedInstallerImageReleaseRequest.
#include "installers/prepared_installer_image_release_request.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerImageReleaseRequest PreparedInstallerImageReleaseRequest::fromJson(
    const nlohmann::json& object) {
  return PreparedInstallerImageReleaseRequest{
      .candidateID = json::required<std::string>(object, "candidateID"),
      .releaseAcknowledged = json::required<bool>(object, "releaseAcknowledged"),
      .noInstallationInProgressAcknowledged =
          json::required<bool>(object, "noInstallationInProgressAcknowledged"),
  };
}

PreparedInstallerImageReleaseRequest PreparedInstallerImageReleaseRequest::decode(
    std::string_view bytes) {
  return json::decodeDocument<PreparedInstallerImageReleaseRequest>(bytes);
}

nlohmann::json PreparedInstallerImageReleaseRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "candidateID", candidateID);
  json::put(object, "releaseAcknowledged", releaseAcknowledged);
  json::put(object, "noInstallationInProgressAcknowledged", noInstallationInProgressAcknowledged);
  return object;
}

}  // namespace tidewarden::installers
