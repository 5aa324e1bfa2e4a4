// JSON coding of InterruptedInstallerRemovalResponse.
#include "storage/interrupted_installer_removal_response.h"

namespace tidewarden::storage {

namespace json = platform::json;

InterruptedInstallerRemovalResponse InterruptedInstallerRemovalResponse::fromJson(
    const nlohmann::json& object) {
  return InterruptedInstallerRemovalResponse{
      .removedIDs = json::required<std::vector<std::string>>(object, "removedIDs"),
      .removedAllocatedBytes = json::required<std::int64_t>(object, "removedAllocatedBytes"),
      .freeSpaceBefore = json::optional<std::int64_t>(object, "freeSpaceBefore"),
      .freeSpaceAfter = json::optional<std::int64_t>(object, "freeSpaceAfter"),
      .issues = json::required<std::vector<std::string>>(object, "issues"),
      .remainingPreparationItems = json::optional<std::vector<InterruptedInstallerDownload>>(
          object, "remainingPreparationItems"),
  };
}

InterruptedInstallerRemovalResponse InterruptedInstallerRemovalResponse::decode(
    std::string_view bytes) {
  return json::decodeDocument<InterruptedInstallerRemovalResponse>(bytes);
}

nlohmann::json InterruptedInstallerRemovalResponse::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "removedIDs", removedIDs);
  json::put(object, "removedAllocatedBytes", removedAllocatedBytes);
  json::put(object, "freeSpaceBefore", freeSpaceBefore);
  json::put(object, "freeSpaceAfter", freeSpaceAfter);
  json::put(object, "issues", issues);
  json::put(object, "remainingPreparationItems", remainingPreparationItems);
  return object;
}

}  // namespace tidewarden::storage
