// JSON coding of InterruptedInstallerDownload.
#include "storage/interrupted_installer_download.h"

namespace tidewarden::storage {

namespace json = platform::json;

InterruptedInstallerDownload InterruptedInstallerDownload::fromJson(const nlohmann::json& object) {
  return InterruptedInstallerDownload{
      .id = json::required<std::string>(object, "id"),
      .path = json::required<std::string>(object, "path"),
      .source = json::required<InstallerDownloadSource>(object, "source"),
      .allocatedBytes = json::required<std::int64_t>(object, "allocatedBytes"),
      .logicalBytes = json::required<std::int64_t>(object, "logicalBytes"),
      .modifiedAt = json::required<platform::json::Date>(object, "modifiedAt"),
      .activity = json::required<InstallerDownloadActivity>(object, "activity"),
      .explanation = json::required<std::string>(object, "explanation"),
      .measurementComplete = json::optional<bool>(object, "measurementComplete"),
  };
}

nlohmann::json InterruptedInstallerDownload::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "id", id);
  json::put(object, "path", path);
  json::put(object, "source", source);
  json::put(object, "allocatedBytes", allocatedBytes);
  json::put(object, "logicalBytes", logicalBytes);
  json::put(object, "modifiedAt", modifiedAt);
  json::put(object, "activity", activity);
  json::put(object, "explanation", explanation);
  json::put(object, "measurementComplete", measurementComplete);
  return object;
}

}  // namespace tidewarden::storage
