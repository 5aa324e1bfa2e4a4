// The reply of startRescueDrive:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::rescue {

// Whether a Rescue Drive operation was started.
struct RescueDriveStartResponse {
  bool accepted = false;
  std::optional<std::string> operationID;  // present when accepted
  std::string message;

  // Strict decoding; throws platform::json::DecodeError.
  static RescueDriveStartResponse fromJson(const nlohmann::json& object);
  static RescueDriveStartResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescueDriveStartResponse&,
                         const RescueDriveStartResponse&) = default;
};

}  // namespace tidewarden::rescue
