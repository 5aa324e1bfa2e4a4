// The reply of fanControl:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "fan/fan_control_status.h"
#include "platform/json_codec.h"

namespace tidewarden::fan {

// The outcome of one fan request.
struct FanControlReply {
  bool accepted = false;  // the action completed
  // snapshot after the action; absent when it could not be built
  std::optional<FanControlStatus> status;
  std::string message;                     // outcome text
  std::optional<std::string> diagnostics;  // the fan-control report

  // Strict decoding; throws platform::json::DecodeError.
  static FanControlReply fromJson(const nlohmann::json& object);
  static FanControlReply decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const FanControlReply&, const FanControlReply&) = default;
};

}  // namespace tidewarden::fan
