// One fan as read from the controller, as it travels in fan replies.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/json_codec.h"

namespace tidewarden::fan {

// A fan of the inventory; every key is required.
struct FanControlFan {
  std::int32_t id = 0;    // fan index 0...7, the # of the controller keys F#..
  std::string name;       // "Fan " followed by id + 1
  double actualRPM = 0;   // measured speed
  double minimumRPM = 0;  // controller minimum
  double maximumRPM = 0;  // controller maximum
  double targetRPM = 0;   // current target register
  bool manual = false;    // the fan is in forced (manual) mode

  // Strict decoding; throws platform::json::DecodeError.
  static FanControlFan fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const FanControlFan&, const FanControlFan&) = default;
};

}  // namespace tidewarden::fan
