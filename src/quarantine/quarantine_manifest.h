// The manifest.json record kept in every quarantine folder.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json_codec.h"
#include "quarantine/move_record.h"

namespace tidewarden::quarantine {

// Every move of one quarantine, in move order; restore replays it backwards.
struct QuarantineManifest {
  std::string id;                   // the quarantine ID, equal to the folder name
  std::string label;                // the item's launchd label
  platform::json::Date createdAt;   // creation time
  std::vector<MoveRecord> records;  // one record per completed move

  // Strict decoding; throws platform::json::DecodeError.
  static QuarantineManifest fromJson(const nlohmann::json& object);
  static QuarantineManifest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const QuarantineManifest&, const QuarantineManifest&) = default;
};

}  // namespace tidewarden::quarantine
