// The reply of rescueDriveStatus:withReply: and cancelRescueDrive:withReply:.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"
#include "rescue/rescue_creation_progress.h"
#include "rescue/rescue_drive_phase.h"

namespace tidewarden::rescue {

// A consistent snapshot of one Rescue Drive operation.
struct RescueDriveStatusResponse {
  std::string operationID;
  RescueDrivePhase phase = RescueDrivePhase::preparing;
  std::int32_t progressPercent = 0;
  std::string message;
  bool finished = false;
  bool success = false;
  std::optional<std::string> errorMessage;
  std::optional<RescueCreationProgress> liveProgress;

  // Strict decoding; throws platform::json::DecodeError.
  static RescueDriveStatusResponse fromJson(const nlohmann::json& object);
  static RescueDriveStatusResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescueDriveStatusResponse&,
                         const RescueDriveStatusResponse&) = default;
};

}  // namespace tidewarden::rescue
