// Live progress of a Rescue Drive creation as shown while it runs.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/json_codec.h"

namespace tidewarden::rescue {

// The current step of the pipeline and what the media-creation tool last printed.
struct RescueCreationProgress {
  std::string step;                   // "checking", "formatting", "startingTool", ... "verifying"
  std::optional<double> stepPercent;  // the tool's percentage for this step
  platform::json::Date startedAt;
  platform::json::Date stepStartedAt;
  std::optional<platform::json::Date> lastOutputAt;
  std::optional<std::string> lastOutput;
  platform::json::Date sampledAt;  // when this record was read
  bool commandRunning = false;     // a child process is still running

  // Strict decoding; throws platform::json::DecodeError.
  static RescueCreationProgress fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescueCreationProgress&, const RescueCreationProgress&) = default;
};

}  // namespace tidewarden::rescue
