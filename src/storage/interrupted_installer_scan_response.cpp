// JSON coding of InterruptedInstallerScanResponse.
#include "storage/interrupted_installer_scan_response.h"

namespace tidewarden::storage {

namespace json = platform::json;

InterruptedInstallerScanResponse InterruptedInstallerScanResponse::fromJson(
    const nlohmann::json& object) {
  return InterruptedInstallerScanResponse{
      .checkedAt = json::required<platform::json::Date>(object, "checkedAt"),
      .items = json::required<std::vector<InterruptedInstallerDownload>>(object, "items"),
      .protectedLocationsChecked = json::required<bool>(object, "protectedLocationsChecked"),
      .warnings = json::required<std::vector<std::string>>(object, "warnings"),
  };
}

InterruptedInstallerScanResponse InterruptedInstallerScanResponse::decode(std::string_view bytes) {
  return json::decodeDocument<InterruptedInstallerScanResponse>(bytes);
}

nlohmann::json InterruptedInstallerScanResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "checkedAt", checkedAt);
  json::put(object, "items", items);
  json::put(object, "protectedLocationsChecked", protectedLocationsChecked);
  json::put(object, "warnings", warnings);
  return object;
}

}  // namespace tidewarden::storage
