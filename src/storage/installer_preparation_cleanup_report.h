// The report of a preparation-workspace removal, embedded in several replies.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::storage {

// What removing one preparation workspace achieved.
struct InstallerPreparationCleanupReport {
  bool verified = false;                     // the workspace is gone and its absence was verified
  std::optional<std::string> workspacePath;  // kept when removal was not verified
  std::optional<std::int64_t> allocatedBytesBefore;
  std::optional<std::int64_t> remainingAllocatedBytes;  // after a failed removal
  std::optional<std::int64_t> availableBytesBefore;
  std::optional<std::int64_t> availableBytesAfter;
  std::vector<std::string> issues;  // problems met during removal

  // Strict decoding; throws platform::json::DecodeError.
  static InstallerPreparationCleanupReport fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InstallerPreparationCleanupReport&,
                         const InstallerPreparationCleanupReport&) = default;
};

}  // namespace tidewarden::storage
