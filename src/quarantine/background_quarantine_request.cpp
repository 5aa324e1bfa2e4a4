// JSON coding of BackgroundQuarantineRequest.
#include "quarantine/background_quarantine_request.h"

namespace tidewarden::quarantine {

namespace json = platform::json;

BackgroundQuarantineRequest BackgroundQuarantineRequest::fromJson(const nlohmann::json& object) {
  return BackgroundQuarantineRequest{
      .label = json::required<std::string>(object, "label"),
      .plistPath = json::required<std::string>(object, "plistPath"),
      .relatedPaths = json::required<std::vector<std::string>>(object, "relatedPaths"),
  };
}

BackgroundQuarantineRequest BackgroundQuarantineRequest::decode(std::string_view bytes) {
  return json::decodeDocument<BackgroundQuarantineRequest>(bytes);
}

nlohmann::json BackgroundQuarantineRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "label", label);
  json::put(object, "plistPath", plistPath);
  json::put(object, "relatedPaths", relatedPaths);
  return object;
}

}  // namespace tidewarden::quarantine
