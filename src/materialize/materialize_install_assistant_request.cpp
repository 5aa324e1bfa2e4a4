// JSON coding of MaterializeInstallAssistantRequest.
#include "materialize/materialize_install_assistant_request.h"

namespace tidewarden::materialize {

namespace json = platform::json;

MaterializeInstallAssistantRequest MaterializeInstallAssistantRequest::fromJson(
    const nlohmann::json& object) {
  return MaterializeInstallAssistantRequest{
      .packagePath = json::required<std::string>(object, "packagePath"),
      .expectedVersion = json::required<std::string>(object, "expectedVersion"),
      .expectedBuild = json::required<std::string>(object, "expectedBuild"),
  };
}

MaterializeInstallAssistantRequest MaterializeInstallAssistantRequest::decode(
    std::string_view bytes) {
  return json::decodeDocument<MaterializeInstallAssistantRequest>(bytes);
}

nlohmann::json MaterializeInstallAssistantRequest::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "packagePath", packagePath);
  json::put(object, "expectedVersion", expectedVersion);
  json::put(object, "expectedBuild", expectedBuild);
  return object;
}

}  // namespace tidewarden::materialize
