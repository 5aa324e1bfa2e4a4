// The request of scanPreparedInstallers:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::installers {

// Which installer applications to review.
struct PreparedInstallerScanRequest {
  // check only this application instead of all of /Applications
  std::optional<std::string> onlyPath;

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerScanRequest fromJson(const nlohmann::json& object);
  static PreparedInstallerScanRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerScanRequest&,
                         const PreparedInstallerScanRequest&) = default;
};

}  // namespace tidewarden::installers
