// JSON coding of InstallerPreparationCleanupReport.
#include "storage/installer_preparation_cleanup_report.h"

namespace tidewarden::storage {

namespace json = platform::json;

InstallerPreparationCleanupReport InstallerPreparationCleanupReport::fromJson(
    const nlohmann::json& object) {
  return InstallerPreparationCleanupReport{
      .verified = json::required<bool>(object, "verified"),
      .workspacePath = json::optional<std::string>(object, "workspacePath"),
      .allocatedBytesBefore = json::optional<std::int64_t>(object, "allocatedBytesBefore"),
      .remainingAllocatedBytes = json::optional<std::int64_t>(object, "remainingAllocatedBytes"),
      .availableBytesBefore = json::optional<std::int64_t>(object, "availableBytesBefore"),
      .availableBytesAfter = json::optional<std::int64_t>(object, "availableBytesAfter"),
      .issues = json::required<std::vector<std::string>>(object, "issues"),
  };
}

nlohmann::json InstallerPreparationCleanupReport::toJson() const {
  nlohmann::json object = nlohmann::json::object();
  json::put(object, "verified", verified);
  json::put(object, "workspacePath", workspacePath);
  json::put(object, "allocatedBytesBefore", allocatedBytesBefore);
  json::put(object, "remainingAllocatedBytes", remainingAllocatedBytes);
  json::put(object, "availableBytesBefore", availableBytesBefore);
  json::put(object, "availableBytesAfter", availableBytesAfter);
  json::put(object, "issues", issues);
  return object;
}

}  // namespace tidewarden::storage
