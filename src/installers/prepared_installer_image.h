// An installer disk image attached from inside a local installer.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::installers {

// One attached image as the client shows it.
struct PreparedInstallerImage {
  std::string imagePath;         // the image file inside the bundle
  std::string deviceIdentifier;  // root virtual disk, "/dev/disk" + digits
  std::vector<std::string> mountPoints;

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerImage fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerImage&, const PreparedInstallerImage&) = default;
};

}  // namespace tidewarden::installers
