// The request of materializeInstallAssistantPackage:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::materialize {

// The saved package to turn into an installer, and the macOS it must contain. The
// patterns of version and build are checked by the materialize flow, not by decoding.
struct MaterializeInstallAssistantRequest {
  std::string packagePath;      // absolute path of the saved package
  std::string expectedVersion;  // for example 15.1
  std::string expectedBuild;    // for example 24B83

  // Strict decoding; throws platform::json::DecodeError.
  static MaterializeInstallAssistantRequest fromJson(const nlohmann::json& object);
  static MaterializeInstallAssistantRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const MaterializeInstallAssistantRequest&,
                         const MaterializeInstallAssistantRequest&) = default;
};

}  // namespace tidewarden::materialize
