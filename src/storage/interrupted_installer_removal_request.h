// The request of removeInterruptedInstallerDownloads:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::storage {

// Scan item identifiers to remove; the count and acknowledgment are judged by the engine.
struct InterruptedInstallerRemovalRequest {
  std::vector<std::string> candidateIDs;  // item ids from a scan response
  bool noInstallationInProgressAcknowledged = false;

  // Strict decoding; throws platform::json::DecodeError.
  static InterruptedInstallerRemovalRequest fromJson(const nlohmann::json& object);
  static InterruptedInstallerRemovalRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InterruptedInstallerRemovalRequest&,
                         const InterruptedInstallerRemovalRequest&) = default;
};

}  // namespace tidewarden::storage
