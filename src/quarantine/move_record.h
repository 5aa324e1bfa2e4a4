// One completed move of a quarantine, as recorded in its manifest.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/json_codec.h"

namespace tidewarden::quarantine {

// Where a file was and where the quarantine put it.
struct MoveRecord {
  std::string original;     // absolute path before the move
  std::string quarantined;  // absolute path inside the quarantine folder

  // Strict decoding; throws platform::json::DecodeError.
  static MoveRecord fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const MoveRecord&, const MoveRecord&) = default;
};

}  // namespace tidewarden::quarantine
