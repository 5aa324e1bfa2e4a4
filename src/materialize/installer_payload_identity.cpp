// JSON coding of InstallerPayloadIdentity.
#include "materialize/installer_payload_identity.h"

namespace tidewarden::materialize {

namespace json = platform::json;

InstallerPayloadIdentity InstallerPayloadIdentity::fromJson(const nlohmann::json& object) {
  return InstallerPayloadIdentity{
      .version = json::required<std::string>(object, "version"),
      .build = json::required<std::string>(object, "build"),
  };
}

nlohmann::json InstallerPayloadIdentity::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "version", version);
  json::put(object, "build", build);
  return object;
}

}  // namespace tidewarden::materialize
