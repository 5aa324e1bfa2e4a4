// JSON coding of PreparedInstallerItem.
#include "installers/prepared_installer_item.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerItem PreparedInstallerItem::fromJson(const nlohmann::json& object) {
  return PreparedInstallerItem{
      .id = json::required<std::string>(object, "id"),
      .path = json::required<std::string>(object, "path"),
      .name = json::required<std::string>(object, "name"),
      .allocatedBytes = json::optional<std::int64_t>(object, "allocatedBytes"),
      .logicalBytes = json::optional<std::int64_t>(object, "logicalBytes"),
      .canDelete = json::required<bool>(object, "canDelete"),
      .reason = json::required<std::string>(object, "reason"),
      .checkedAt = json::required<platform::json::Date>(object, "checkedAt"),
      .expiresAt = json::required<platform::json::Date>(object, "expiresAt"),
      .attachedImages =
          json::required<std::vector<PreparedInstallerImage>>(object, "attachedImages"),
      .canReleaseImages = json::required<bool>(object, "canReleaseImages"),
  };
}

nlohmann::json PreparedInstallerItem::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "id", id);
  json::put(object, "path", path);
  json::put(object, "name", name);
  json::put(object, "allocatedBytes", allocatedBytes);
  json::put(object, "logicalBytes", logicalBytes);
  json::put(object, "canDelete", canDelete);
  json::put(object, "reason", reason);
  json::put(object, "checkedAt", checkedAt);
  json::put(object, "expiresAt", expiresAt);
  json::put(object, "attachedImages", attachedImages);
  json::put(object, "canReleaseImages", canReleaseImages);
  return object;
}

}  // namespace tidewarden::installers
