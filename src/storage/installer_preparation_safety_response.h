// The reply of runInstallerPreparationSafetyCheckWithReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"
#include "storage/installer_preparation_cleanup_report.h"

namespace tidewarden::storage {

// The outcome of the (retired) preparation safety check.
struct InstallerPreparationSafetyResponse {
  bool passed = false;
  std::string message;
  std::optional<InstallerPreparationCleanupReport> cleanup;

  // Strict decoding; throws platform::json::DecodeError.
  static InstallerPreparationSafetyResponse fromJson(const nlohmann::json& object);
  static InstallerPreparationSafetyResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InstallerPreparationSafetyResponse&,
                         const InstallerPreparationSafetyResponse&) = default;
};

}  // namespace tidewarden::storage
