// The request of deletePreparedInstaller:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::installers {

// A deletion review to act on; the acknowledgments are judged by the engine.
struct PreparedInstallerDeleteRequest {
  std::string candidateID;  // review identifier from a scan
  bool permanentDeletionAcknowledged = false;
  bool noInstallationInProgressAcknowledged = false;

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerDeleteRequest fromJson(const nlohmann::json& object);
  static PreparedInstallerDeleteRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerDeleteRequest&,
                         const PreparedInstallerDeleteRequest&) = default;
};

}  // namespace tidewarden::installers
