// JSON coding of PreparedInstallerImageReleaseResponse.
#include "installers/prepared_installer_image_release_response.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerImageReleaseResponse PreparedInstallerImageReleaseResponse::fromJson(
    const nlohmann::json& object) {
  return PreparedInstallerImageReleaseResponse{
      .path = json::optional<std::string>(object, "path"),
      .released = json::required<bool>(object, "released"),
      .detachedImageCount = json::required<std::int32_t>(object, "detachedImageCount"),
      .message = json::required<std::string>(object, "message"),
  };
}

PreparedInstallerImageReleaseResponse PreparedInstallerImageReleaseResponse::decode(
    std::string_view bytes) {
  return json::decodeDocument<PreparedInstallerImageReleaseResponse>(bytes);
}

nlohmann::json PreparedInstallerImageReleaseResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "path", path);
  json::put(object, "released", released);
  json::put(object, "detachedImageCount", detachedImageCount);
  json::put(object, "message", message);
  return object;
}

}  // namespace tidewarden::installers
