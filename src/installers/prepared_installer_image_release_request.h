// The request of releasePreparedInstallerImages:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::installers {

// An image-release review to act on; the acknowledgments are judged by the engine.
struct PreparedInstallerImageReleaseRequest {
  std::string candidateID;  // review identifier from a scan
  bool releaseAcknowledged = false;
  bool noInstallationInProgressAcknowledged = false;

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerImageReleaseRequest fromJson(const nlohmann::json& object);
  static PreparedInstallerImageReleaseRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerImageReleaseRequest&,
                         const PreparedInstallerImageReleaseRequest&) = default;
};

}  // namespace tidewarden::installers
