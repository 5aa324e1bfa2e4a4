// The reply of scanPreparedInstallers:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "installers/prepared_installer_item.h"
#include "platform/json_codec.h"

namespace tidewarden::installers {

// One review per installer application examined, in candidate order.
struct PreparedInstallerScanResponse {
  platform::json::Date checkedAt;  // when the scan started
  std::vector<PreparedInstallerItem> items;
  std::vector<std::string> warnings;
  bool complete = false;  // false when a limit cut the scan or enumeration failed

  // Strict decoding; throws platform::json::DecodeError.
  static PreparedInstallerScanResponse fromJson(const nlohmann::json& object);
  static PreparedInstallerScanResponse decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const PreparedInstallerScanResponse&,
                         const PreparedInstallerScanResponse&) = default;
};

}  // namespace tidewarden::installers
