// JSON coding of PreparedInstallerScanResponse.
#include "installers/prepared_installer_scan_response.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerScanResponse PreparedInstallerScanResponse::fromJson(
    const nlohmann::json& object) {
  return PreparedInstallerScanResponse{
      .checkedAt = json::required<platform::json::Date>(object, "checkedAt"),
      .items = json::required<std::vector<PreparedInstallerItem>>(object, "items"),
      .warnings = json::required<std::vector<std::string>>(object, "warnings"),
      .complete = json::required<bool>(object, "complete"),
  };
}

PreparedInstallerScanResponse PreparedInstallerScanResponse::decode(std::string_view bytes) {
  return json::decodeDocument<PreparedInstallerScanResponse>(bytes);
}

nlohmann::json PreparedInstallerScanResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "checkedAt", checkedAt);
  json::put(object, "items", items);
  json::put(object, "warnings", warnings);
  json::put(object, "complete", complete);
  return object;
}

}  // namespace tidewarden::installers
