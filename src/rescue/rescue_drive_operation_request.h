// The request of rescueDriveStatus:withReply: and cancelRescueDrive:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::rescue {

// Names a Rescue Drive operation by the identifier its start returned.
struct RescueDriveOperationRequest {
  std::string operationID;

  // Strict decoding; throws platform::json::DecodeError.
  static RescueDriveOperationRequest fromJson(const nlohmann::json& object);
  static RescueDriveOperationRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescueDriveOperationRequest&,
                         const RescueDriveOperationRequest&) = default;
};

}  // namespace tidewarden::rescue
