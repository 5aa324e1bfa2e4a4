// One reviewed installer application of a local-installer scan.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "installers/prepared_installer_image.h"
#include "platform/json_codec.h"

namespace tidewarden::installers {

// The review of one "Install macOS" application; `id` names its short-lived approval.
struct PreparedInstallerItem {
  std::string id;                              // review identifier, upper-case UUID
  std::string path;                            // "/Applications/" + bundle name
  std::string name;                            // bundle name without ".app"
  std::optional<std::int64_t> allocatedBytes;  // absent when the tree could not be measured
  std::optional<std::int64_t> logicalBytes;    // absent when the tree could not be measured
  bool canDelete = false;                      // a deletion review is approved under id
  std::string reason;
  platform::json::Date checkedAt;
  platform::json::Date expiresAt;  // the approval under id is void from then on
  std::vector<PreparedInstallerImage> attachedImages;
  bool canReleaseImages = false;  // an image-release review is approved under id

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerItem fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerItem&, const PreparedInstallerItem&) = default;
};

}  // namespace tidewarden::installers
