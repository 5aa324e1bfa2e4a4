// The reply of preflightInstallerPreparation:withReply:.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::storage {

// Whether enough working space exists for a preparation.
struct InstallerPreparationPreflightResponse {
  bool allowed = false;
  std::string message;
  std::optional<std::int64_t> availableBytes;  // measured free space
  std::int64_t estimatedAdditionalBytes = 0;   // the working-space budget

  // Strict decoding; throws platform::json::DecodeError.
  static InstallerPreparationPreflightResponse fromJson(const nlohmann::json& object);
  static InstallerPreparationPreflightResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InstallerPreparationPreflightResponse&,
                         const InstallerPreparationPreflightResponse&) = default;
};

}  // namespace tidewarden::storage
