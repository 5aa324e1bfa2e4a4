// JSON coding of RescueDestination.
#include "rescue/rescue_destination.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescueDestination RescueDestination::fromJson(const nlohmann::json& object) {
  return RescueDestination{
      .scope = json::required<RescueDestinationScope>(object, "scope"),
      .diskIdentifier = json::required<std::string>(object, "diskIdentifier"),
      .mediaName = json::required<std::string>(object, "mediaName"),
      .size = json::required<std::int64_t>(object, "size"),
      .filesystem = json::required<std::string>(object, "filesystem"),
      .mountPoint = json::optional<std::string>(object, "mountPoint"),
      .parent = json::required<RescuePhysicalIdentity>(object, "parent"),
      .partitionMap = json::required<std::string>(object, "partitionMap"),
      .layout = json::required<std::vector<RescuePartitionIdentity>>(object, "layout"),
      .unavailableReason = json::optional<std::string>(object, "unavailableReason"),
      .checkedAt = json::required<platform::json::Date>(object, "checkedAt"),
  };
}

nlohmann::json RescueDestination::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "scope", scope);
  json::put(object, "diskIdentifier", diskIdentifier);
  json::put(object, "mediaName", mediaName);
  json::put(object, "size", size);
  json::put(object, "filesystem", filesystem);
  json::put(object, "mountPoint", mountPoint);
  json::put(object, "parent", parent);
  json::put(object, "partitionMap", partitionMap);
  json::put(object, "layout", layout);
  json::put(object, "unavailableReason", unavailableReason);
  json::put(object, "checkedAt", checkedAt);
  return object;
}

}  // namespace tidewarden::rescue
