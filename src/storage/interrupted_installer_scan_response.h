// The reply of scanInterruptedInstallerDownloadsWithReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json_codec.h"
#include "storage/interrupted_installer_download.h"

namespace tidewarden::storage {

// Interrupted downloads and preparation workspaces, largest allocation first.
struct InterruptedInstallerScanResponse {
  platform::json::Date checkedAt;
  std::vector<InterruptedInstallerDownload> items;
  // false when any limit was reached or a location was unreadable
  bool protectedLocationsChecked = false;
  std::vector<std::string> warnings;

  // Strict decoding; throws platform::json::DecodeError.
  static InterruptedInstallerScanResponse fromJson(const nlohmann::json& object);
  static InterruptedInstallerScanResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InterruptedInstallerScanResponse&,
                         const InterruptedInstallerScanResponse&) = default;
};

}  // namespace tidewarden::storage
