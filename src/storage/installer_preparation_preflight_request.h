// The request of preflightInstallerPreparation:withReply:.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::storage {

// The installer size the client expects to prepare; the range is judged by the preflight.
struct InstallerPreparationPreflightRequest {
  std::int64_t packageBytes = 0;  // expected full-installer size
  bool packageAlreadyDownloaded = false;

  // Strict decoding; throws platform::json::DecodeError.
  static InstallerPreparationPreflightRequest fromJson(const nlohmann::json& object);
  static InstallerPreparationPreflightRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InstallerPreparationPreflightRequest&,
                         const InstallerPreparationPreflightRequest&) = default;
};

}  // namespace tidewarden::storage
