// The identity of one partition in a Rescue Drive destination layout.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/json_codec.h"

namespace tidewarden::rescue {

// One partition of the parent disk, in map order; all keys required.
struct RescuePartitionIdentity {
  std::string identifier;  // "disk" + digits + "s" + digits
  std::string partitionUUID;
  std::int64_t offset = 0;  // bytes from the start of the disk
  std::int64_t size = 0;    // bytes
  std::string content;      // partition type
  std::string volumeUUID;   // empty if none
  std::string name;         // volume name, empty if none

  // Strict decoding; throws platform::json::DecodeError.
  static RescuePartitionIdentity fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescuePartitionIdentity&, const RescuePartitionIdentity&) = default;
};

}  // namespace tidewarden::rescue
