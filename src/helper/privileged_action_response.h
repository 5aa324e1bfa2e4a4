// Reply of the quarantine and restore methods.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tidewarden::helper {

struct PrivilegedActionResponse {
  bool success = false;
  std::string message;
  std::optional<std::string> quarantineID;

  nlohmann::json toJson() const {
    nlohmann::json json{{"success", success}, {"message", message}};
    if (quarantineID) json["quarantineID"] = *quarantineID;
    return json;
  }
};

}  // namespace tidewarden::helper
