// The reply of releasePreparedInstallerImages:withReply:.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::installers {

// The outcome of one image release.
struct PreparedInstallerImageReleaseResponse {
  std::optional<std::string> path;  // the installer, when the review was found
  bool released = false;
  std::int32_t detachedImageCount = 0;
  std::string message;

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerImageReleaseResponse fromJson(const nlohmann::json& object);
  static PreparedInstallerImageReleaseResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerImageReleaseResponse&,
                         const PreparedInstallerImageReleaseResponse&) = default;
};

}  // namespace tidewarden::installers
