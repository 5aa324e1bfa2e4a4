// JSON coding of PreparedInstallerDeleteResponse.
#include "installers/prepared_installer_delete_response.h"

namespace tidewarden::installers {

namespace json = platform::json;

PreparedInstallerDeleteResponse PreparedInstallerDeleteResponse::fromJson(
    const nlohmann::json& object) {
  return PreparedInstallerDeleteResponse{
      .path = json::optional<std::string>(object, "path"),
      .deleted = json::required<bool>(object, "deleted"),
      .mutationStarted = json::required<bool>(object, "mutationStarted"),
      .allocatedBytesBefore = json::optional<std::int64_t>(object, "allocatedBytesBefore"),
      .allocatedBytesRemaining = json::optional<std::int64_t>(object, "allocatedBytesRemaining"),
      .freeSpaceBefore = json::optional<std::int64_t>(object, "freeSpaceBefore"),
      .freeSpaceAfter = json::optional<std::int64_t>(object, "freeSpaceAfter"),
      .message = json::required<std::string>(object, "message"),
  };
}

PreparedInstallerDeleteResponse PreparedInstallerDeleteResponse::decode(std::string_view bytes) {
  return json::decodeDocument<PreparedInstallerDeleteResponse>(bytes);
}

nlohmann::json PreparedInstallerDeleteResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "path", path);
  json::put(object, "deleted", deleted);
  json::put(object, "mutationStarted", mutationStarted);
  json::put(object, "allocatedBytesBefore", allocatedBytesBefore);
  json::put(object, "allocatedBytesRemaining", allocatedBytesRemaining);
  json::put(object, "freeSpaceBefore", freeSpaceBefore);
  json::put(object, "freeSpaceAfter", freeSpaceAfter);
  json::put(object, "message", message);
  return object;
}

}  // namespace tidewarden::installers
