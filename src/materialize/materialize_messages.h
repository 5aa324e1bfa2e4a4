// Wire types of installer materialization, with the payload identity it reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "platform/json_codec.h"
#include "storage/storage_messages.h"

namespace tidewarden::materialize {

namespace json = platform::json;

// The identity of the macOS an installer payload installs.
struct InstallerPayloadIdentity {
  std::string version;
  std::string build;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("version", &InstallerPayloadIdentity::version),
        json::field("build", &InstallerPayloadIdentity::build),
    };
  }

  friend bool operator==(const InstallerPayloadIdentity&,
                         const InstallerPayloadIdentity&) = default;
};

// The saved package to turn into an installer, and the macOS it must contain. The
// patterns of version and build are checked by the materialize flow, not by decoding.
struct MaterializeInstallAssistantRequest {
  std::string packagePath;      // absolute path of the saved package
  std::string expectedVersion;  // for example 15.1
  std::string expectedBuild;    // for example 24B83

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("packagePath", &MaterializeInstallAssistantRequest::packagePath),
        json::field("expectedVersion", &MaterializeInstallAssistantRequest::expectedVersion),
        json::field("expectedBuild", &MaterializeInstallAssistantRequest::expectedBuild),
    };
  }

  friend bool operator==(const MaterializeInstallAssistantRequest&,
                         const MaterializeInstallAssistantRequest&) = default;
};

// The outcome of one materialization.
struct MaterializeInstallAssistantResponse {
  bool success = false;  // the verified installer is in /Applications
  std::string message;
  std::optional<std::string> installerPath;                 // present on success
  std::optional<InstallerPayloadIdentity> payloadIdentity;  // present once read
  std::optional<storage::InstallerPreparationCleanupReport> preparationCleanup;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("success", &MaterializeInstallAssistantResponse::success),
        json::field("message", &MaterializeInstallAssistantResponse::message),
        json::field("installerPath", &MaterializeInstallAssistantResponse::installerPath),
        json::field("payloadIdentity", &MaterializeInstallAssistantResponse::payloadIdentity),
        json::field("preparationCleanup", &MaterializeInstallAssistantResponse::preparationCleanup),
    };
  }

  friend bool operator==(const MaterializeInstallAssistantResponse&,
                         const MaterializeInstallAssistantResponse&) = default;
};

}  // namespace tidewarden::materialize
