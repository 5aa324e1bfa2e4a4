// JSON coding of QuarantineManifest.
#include "quarantine/quarantine_manifest.h"

namespace tidewarden::quarantine {

namespace json = platform::json;

QuarantineManifest QuarantineManifest::fromJson(const nlohmann::json& object) {
  return QuarantineManifest{
      .id = json::required<std::string>(object, "id"),
      .label = json::required<std::string>(object, "label"),
      .createdAt = json::required<platform::json::Date>(object, "createdAt"),
      .records = json::required<std::vector<MoveRecord>>(object, "records"),
  };
}

QuarantineManifest QuarantineManifest::decode(std::string_view bytes) {
  return json::decodeDocument<QuarantineManifest>(bytes);
}

nlohmann::json QuarantineManifest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "id", id);
  json::put(object, "label", label);
  json::put(object, "createdAt", createdAt);
  json::put(object, "records", records);
  return object;
}

}  // namespace tidewarden::quarantine
