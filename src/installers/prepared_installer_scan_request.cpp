// JSON coding of PreparedInstallerScanRequest.
#include "installers/prepared_installer_scan_request.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerScanRequest PreparedInstallerScanRequest::fromJson(const nlohmann::json& object) {
  return PreparedInstallerScanRequest{
      .onlyPath = json::optional<std::string>(object, "onlyPath"),
  };
}

PreparedInstallerScanRequest PreparedInstallerScanRequest::decode(std::string_view bytes) {
  return json::decodeDocument<PreparedInstallerScanRequest>(bytes);
}

nlohmann::json PreparedInstallerScanRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "onlyPath", onlyPath);
  return object;
}

}  // namespace tidewarden::installers
