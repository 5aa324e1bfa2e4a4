// The macOS version and build read from an installer payload.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/json_codec.h"

namespace tidewarden::materialize {

// The identity of the macOS an installer payload installs.
struct InstallerPayloadIdentity {
  std::string version;
  std::string build;

  // Strict decoding; throws platform::json::DecodeError.
  static InstallerPayloadIdentity fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InstallerPayloadIdentity&,
                         const InstallerPayloadIdentity&) = default;
};

}  // namespace tidewarden::materialize
