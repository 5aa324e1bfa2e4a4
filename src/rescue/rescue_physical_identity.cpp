// JSON coding of RescuePhysicalIdentity.
#include "rescue/rescue_physical_identity.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescuePhysicalIdentity RescuePhysicalIdentity::fromJson(const nlohmann::json& object) {
  return RescuePhysicalIdentity{
      .identifier = json::required<std::string>(object, "identifier"),
      .capacity = json::required<std::int64_t>(object, "capacity"),
      .mediaName = json::required<std::string>(object, "mediaName"),
      .registryPath = json::required<std::string>(object, "registryPath"),
      .bus = json::required<std::string>(object, "bus"),
  };
}

nlohmann::json RescuePhysicalIdentity::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "identifier", identifier);
  json::put(object, "capacity", capacity);
  json::put(object, "mediaName", mediaName);
  json::put(object, "registryPath", registryPath);
  json::put(object, "bus", bus);
  return object;
}

}  // namespace tidewarden::rescue
