// JSON coding of RescuePartitionIdentity.
#include "rescue/rescue_partition_identity.h"

namespace tidewarden::rescue {

namespace json = platform::json;

RescuePartitionIdentity RescuePartitionIdentity::fromJson(const nlohmann::json& object) {
  return RescuePartitionIdentity{
      .identifier = json::required<std::string>(object, "identifier"),
      .partitionUUID = json::required<std::string>(object, "partitionUUID"),
      .offset = json::required<std::int64_t>(object, "offset"),
      .size = json::required<std::int64_t>(object, "size"),
      .content = json::required<std::string>(object, "content"),
      .volumeUUID = json::required<std::string>(object, "volumeUUID"),
      .name = json::required<std::string>(object, "name"),
  };
}

nlohmann::json RescuePartitionIdentity::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "identifier", identifier);
  json::put(object, "partitionUUID", partitionUUID);
  json::put(object, "offset", offset);
  json::put(object, "size", size);
  json::put(object, "content", content);
  json::put(object, "volumeUUID", volumeUUID);
  json::put(object, "name", name);
  return object;
}

}  // namespace tidewarden::rescue
