// The identity of the physical disk behind a Rescue Drive destination.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/json_codec.h"

namespace tidewarden::rescue {

// The whole disk as the disk inventory describes it; all keys required.
struct RescuePhysicalIdentity {
  std::string identifier;     // whole-disk identifier, "disk" followed by digits
  std::int64_t capacity = 0;  // bytes
  std::string mediaName;
  std::string registryPath;  // device-tree path
  std::string bus;           // bus protocol

  // Strict decoding; throws platform::json::DecodeError.
  static RescuePhysicalIdentity fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescuePhysicalIdentity&, const RescuePhysicalIdentity&) = default;
};

}  // namespace tidewarden::rescue
