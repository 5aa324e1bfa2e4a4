// The reply of materializeInstallAssistantPackage:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "materialize/installer_payload_identity.h"
#include "platform/json_codec.h"
#include "storage/installer_preparation_cleanup_report.h"

namespace tidewarden::materialize {

// The outcome of one materialization.
struct MaterializeInstallAssistantResponse {
  bool success = false;  // the verified installer is in /Applications
  std::string message;
  std::optional<std::string> installerPath;                 // present on success
  std::optional<InstallerPayloadIdentity> payloadIdentity;  // present once read
  std::optional<storage::InstallerPreparationCleanupReport> preparationCleanup;

  // Strict decoding; throws platform::json::DecodeError.
  static MaterializeInstallAssistantResponse fromJson(const nlohmann::json& object);
  static MaterializeInstallAssistantResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const MaterializeInstallAssistantResponse&,
                         const MaterializeInstallAssistantResponse&) = default;
};

}  // namespace tidewarden::materialize
