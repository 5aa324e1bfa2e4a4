// The reply of deletePreparedInstaller:withReply:.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::installers {

// The outcome of one permanent deletion.
struct PreparedInstallerDeleteResponse {
  std::optional<std::string> path;  // the reviewed installer, when the review was found
  bool deleted = false;             // removal completed and verified
  bool mutationStarted = false;     // some file had already been removed
  std::optional<std::int64_t> allocatedBytesBefore;
  std::optional<std::int64_t> allocatedBytesRemaining;
  std::optional<std::int64_t> freeSpaceBefore;
  std::optional<std::int64_t> freeSpaceAfter;
  std::string message;

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerDeleteResponse fromJson(const nlohmann::json& object);
  static PreparedInstallerDeleteResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerDeleteResponse&,
                         const PreparedInstallerDeleteResponse&) = default;
};

}  // namespace tidewarden::installers
