// JSON coding of PreparedInstallerImage.
#include "installers/prepared_installer_image.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerImage PreparedInstallerImage::fromJson(const nlohmann::json& object) {
  return PreparedInstallerImage{
      .imagePath = json::required<std::string>(object, "imagePath"),
      .deviceIdentifier = json::required<std::string>(object, "deviceIdentifier"),
      .mountPoints = json::required<std::vector<std::string>>(object, "mountPoints"),
  };
}

nlohmann::json PreparedInstallerImage::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "imagePath", imagePath);
  json::put(object, "deviceIdentifier", deviceIdentifier);
  json::put(object, "mountPoints", mountPoints);
  return object;
}

}  // namespace tidewarden::installers
