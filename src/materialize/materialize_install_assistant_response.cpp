// JSON coding of MaterializeInstallAssistantResponse.
#include "materialize/materialize_install_assistant_response.h"

namespace tidewarden::materialize {

namespace json = platform::json;

MaterializeInstallAssistantResponse MaterializeInstallAssistantResponse::fromJson(
    const nlohmann::json& object) {
  return MaterializeInstallAssistantResponse{
      .success = json::required<bool>(object, "success"),
      .message = json::required<std::string>(object, "message"),
      .installerPath = json::optional<std::string>(object, "installerPath"),
      .payloadIdentity = json::optional<InstallerPayloadIdentity>(object, "payloadIdentity"),
      .preparationCleanup =
          json::optional<storage::InstallerPreparationCleanupReport>(object, "preparationCleanup"),
  };
}

MaterializeInstallAssistantResponse MaterializeInstallAssistantResponse::decode(
    std::string_view bytes) {
  return json::decodeDocument<MaterializeInstallAssistantResponse>(bytes);
}

nlohmann::json MaterializeInstallAssistantResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "success", success);
  json::put(object, "message", message);
  json::put(object, "installerPath", installerPath);
  json::put(object, "payloadIdentity", payloadIdentity);
  json::put(object, "preparationCleanup", preparationCleanup);
  return object;
}

}  // namespace tidewarden::materialize
