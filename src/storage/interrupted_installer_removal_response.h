// The reply of removeInterruptedInstallerDownloads:withReply:.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json_codec.h"
#include "storage/interrupted_installer_download.h"

namespace tidewarden::storage {

// What a removal request removed, and why the rest was kept.
struct InterruptedInstallerRemovalResponse {
  std::vector<std::string> removedIDs;  // ids whose files were removed and verified gone
  std::int64_t removedAllocatedBytes = 0;
  std::optional<std::int64_t> freeSpaceBefore;
  std::optional<std::int64_t> freeSpaceAfter;
  std::vector<std::string> issues;  // one entry per refused or failed candidate or general problem
  // absent when no preparation item was requested
  std::optional<std::vector<InterruptedInstallerDownload>> remainingPreparationItems;

  // Strict decoding; throws platform::json::DecodeError.
  static InterruptedInstallerRemovalResponse fromJson(const nlohmann::json& object);
  static InterruptedInstallerRemovalResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InterruptedInstallerRemovalResponse&,
                         const InterruptedInstallerRemovalResponse&) = default;
};

}  // namespace tidewarden::storage
