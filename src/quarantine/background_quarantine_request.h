// The request of quarantineBackgroundItem:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::quarantine {

// The startup item the application asks to quarantine.
struct BackgroundQuarantineRequest {
  std::string label;      // the launchd label seen when the item was scanned
  std::string plistPath;  // path of the item's property list
  // decoded but not used: the helper derives the files it moves
  std::vector<std::string> relatedPaths;

  // Strict decoding; throws platform::json::DecodeError.
  static BackgroundQuarantineRequest fromJson(const nlohmann::json& object);
  static BackgroundQuarantineRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const BackgroundQuarantineRequest&,
                         const BackgroundQuarantineRequest&) = default;
};

}  // namespace tidewarden::quarantine
