// The request of restoreQuarantineItem:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::quarantine {

// The quarantine to put back.
struct BackgroundRestoreRequest {
  std::string quarantineID;  // identifier returned by the quarantine

  // Strict decoding; throws platform::json::DecodeError.
  static BackgroundRestoreRequest fromJson(const nlohmann::json& object);
  static BackgroundRestoreRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const BackgroundRestoreRequest&,
                         const BackgroundRestoreRequest&) = default;
};

}  // namespace tidewarden::quarantine
