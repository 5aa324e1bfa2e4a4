// The request of startRescueDrive:withReply:.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/json_codec.h"
#include "rescue/rescue_destination.h"
#include "rescue/rescue_destination_scope.h"

namespace tidewarden::rescue {

// A reviewed destination, the scope the user confirmed and the installer to write.
struct RescueDriveStartRequest {
  std::string installerPath;      // the local "Install macOS" application
  RescueDestination destination;  // the row the user reviewed
  // the scope the user explicitly confirmed
  RescueDestinationScope confirmedScope = RescueDestinationScope::partition;
  std::string destinationProtocol;  // must name the current destination protocol

  // Strict decoding; throws platform::json::DecodeError.
  static RescueDriveStartRequest fromJson(const nlohmann::json& object);
  static RescueDriveStartRequest decode(std::string_view bytes);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const RescueDriveStartRequest&, const RescueDriveStartRequest&) = default;
};

}  // namespace tidewarden::rescue
