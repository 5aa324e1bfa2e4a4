// Wire types of Rescue Drive creation: destinations, requests, progress and status, with their enumerations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::rescue {

namespace json = platform::json;

enum class RescueDrivePhase {
  preparing,
  erasing,
  creatingInstaller,
  verifying,
  ejecting,
  finished,
  failed,
  cancelled,
};

inline constexpr std::array<std::pair<RescueDrivePhase, std::string_view>, 8>
    kRescueDrivePhaseRawValues{{
        {RescueDrivePhase::preparing, "preparing"},
        {RescueDrivePhase::erasing, "erasing"},
        {RescueDrivePhase::creatingInstaller, "creatingInstaller"},
        {RescueDrivePhase::verifying, "verifying"},
        {RescueDrivePhase::ejecting, "ejecting"},
        {RescueDrivePhase::finished, "finished"},
        {RescueDrivePhase::failed, "failed"},
        {RescueDrivePhase::cancelled, "cancelled"},
    }};

constexpr const auto& jsonEnumValues(RescueDrivePhase) { return kRescueDrivePhaseRawValues; }

enum class RescueDestinationScope {
  partition,         // exactly one partition of a GUID map
  wholeDisk,         // the entire physical disk
  sharedAPFSVolume,  // a volume sharing an APFS container; never erasable
};

inline constexpr std::array<std::pair<RescueDestinationScope, std::string_view>, 3>
    kRescueDestinationScopeRawValues{{
        {RescueDestinationScope::partition, "partition"},
        {RescueDestinationScope::wholeDisk, "wholeDisk"},
        {RescueDestinationScope::sharedAPFSVolume, "sharedAPFSVolume"},
    }};

constexpr const auto& jsonEnumValues(RescueDestinationScope) {
  return kRescueDestinationScopeRawValues;
}

// The whole disk as the disk inventory describes it; all keys required.
struct RescuePhysicalIdentity {
  std::string identifier;     // whole-disk identifier, "disk" followed by digits
  std::int64_t capacity = 0;  // bytes
  std::string mediaName;
  std::string registryPath;  // device-tree path
  std::string bus;           // bus protocol

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("identifier", &RescuePhysicalIdentity::identifier),
        json::field("capacity", &RescuePhysicalIdentity::capacity),
        json::field("mediaName", &RescuePhysicalIdentity::mediaName),
        json::field("registryPath", &RescuePhysicalIdentity::registryPath),
        json::field("bus", &RescuePhysicalIdentity::bus),
    };
  }

  friend bool operator==(const RescuePhysicalIdentity&, const RescuePhysicalIdentity&) = default;
};

// One partition of the parent disk, in map order; all keys required.
struct RescuePartitionIdentity {
  std::string identifier;  // "disk" + digits + "s" + digits
  std::string partitionUUID;
  std::int64_t offset = 0;  // bytes from the start of the disk
  std::int64_t size = 0;    // bytes
  std::string content;      // partition type
  std::string volumeUUID;   // empty if none
  std::string name;         // volume name, empty if none

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("identifier", &RescuePartitionIdentity::identifier),
        json::field("partitionUUID", &RescuePartitionIdentity::partitionUUID),
        json::field("offset", &RescuePartitionIdentity::offset),
        json::field("size", &RescuePartitionIdentity::size),
        json::field("content", &RescuePartitionIdentity::content),
        json::field("volumeUUID", &RescuePartitionIdentity::volumeUUID),
        json::field("name", &RescuePartitionIdentity::name),
    };
  }

  friend bool operator==(const RescuePartitionIdentity&, const RescuePartitionIdentity&) = default;
};

// A candidate destination, offered or refused with its reason. The application sends the
// row the user chose; the helper compares it with a fresh inventory before any erase.
struct RescueDestination {
  // what an approval of this row would erase
  RescueDestinationScope scope = RescueDestinationScope::partition;
  std::string diskIdentifier;                    // the partition, or the whole disk for wholeDisk
  std::string mediaName;                         // display name
  std::int64_t size = 0;                         // bytes of the partition or disk
  std::string filesystem;                        // filesystem personality
  std::optional<std::string> mountPoint;         // current mount point
  RescuePhysicalIdentity parent;                 // the physical disk
  std::string partitionMap;                      // partition scheme of the parent
  std::vector<RescuePartitionIdentity> layout;   // every partition of the parent, in map order
  std::optional<std::string> unavailableReason;  // present when the row may not be chosen
  platform::json::Date checkedAt;                // when the row was built

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("scope", &RescueDestination::scope),
        json::field("diskIdentifier", &RescueDestination::diskIdentifier),
        json::field("mediaName", &RescueDestination::mediaName),
        json::field("size", &RescueDestination::size),
        json::field("filesystem", &RescueDestination::filesystem),
        json::field("mountPoint", &RescueDestination::mountPoint),
        json::field("parent", &RescueDestination::parent),
        json::field("partitionMap", &RescueDestination::partitionMap),
        json::field("layout", &RescueDestination::layout),
        json::field("unavailableReason", &RescueDestination::unavailableReason),
        json::field("checkedAt", &RescueDestination::checkedAt),
    };
  }

  friend bool operator==(const RescueDestination&, const RescueDestination&) = default;
};

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

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("step", &RescueCreationProgress::step),
        json::field("stepPercent", &RescueCreationProgress::stepPercent),
        json::field("startedAt", &RescueCreationProgress::startedAt),
        json::field("stepStartedAt", &RescueCreationProgress::stepStartedAt),
        json::field("lastOutputAt", &RescueCreationProgress::lastOutputAt),
        json::field("lastOutput", &RescueCreationProgress::lastOutput),
        json::field("sampledAt", &RescueCreationProgress::sampledAt),
        json::field("commandRunning", &RescueCreationProgress::commandRunning),
    };
  }

  friend bool operator==(const RescueCreationProgress&, const RescueCreationProgress&) = default;
};

// A reviewed destination, the scope the user confirmed and the installer to write.
struct RescueDriveStartRequest {
  std::string installerPath;      // the local "Install macOS" application
  RescueDestination destination;  // the row the user reviewed
  // the scope the user explicitly confirmed
  RescueDestinationScope confirmedScope = RescueDestinationScope::partition;
  std::string destinationProtocol;  // must name the current destination protocol

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("installerPath", &RescueDriveStartRequest::installerPath),
        json::field("destination", &RescueDriveStartRequest::destination),
        json::field("confirmedScope", &RescueDriveStartRequest::confirmedScope),
        json::field("destinationProtocol", &RescueDriveStartRequest::destinationProtocol),
    };
  }

  friend bool operator==(const RescueDriveStartRequest&, const RescueDriveStartRequest&) = default;
};

// Whether a Rescue Drive operation was started.
struct RescueDriveStartResponse {
  bool accepted = false;
  std::optional<std::string> operationID;  // present when accepted
  std::string message;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("accepted", &RescueDriveStartResponse::accepted),
        json::field("operationID", &RescueDriveStartResponse::operationID),
        json::field("message", &RescueDriveStartResponse::message),
    };
  }

  friend bool operator==(const RescueDriveStartResponse&,
                         const RescueDriveStartResponse&) = default;
};

// Names a Rescue Drive operation by the identifier its start returned.
struct RescueDriveOperationRequest {
  std::string operationID;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("operationID", &RescueDriveOperationRequest::operationID),
    };
  }

  friend bool operator==(const RescueDriveOperationRequest&,
                         const RescueDriveOperationRequest&) = default;
};

// A consistent snapshot of one Rescue Drive operation.
struct RescueDriveStatusResponse {
  std::string operationID;
  RescueDrivePhase phase = RescueDrivePhase::preparing;
  std::int32_t progressPercent = 0;
  std::string message;
  bool finished = false;
  bool success = false;
  std::optional<std::string> errorMessage;
  std::optional<RescueCreationProgress> liveProgress;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("operationID", &RescueDriveStatusResponse::operationID),
        json::field("phase", &RescueDriveStatusResponse::phase),
        json::field("progressPercent", &RescueDriveStatusResponse::progressPercent),
        json::field("message", &RescueDriveStatusResponse::message),
        json::field("finished", &RescueDriveStatusResponse::finished),
        json::field("success", &RescueDriveStatusResponse::success),
        json::field("errorMessage", &RescueDriveStatusResponse::errorMessage),
        json::field("liveProgress", &RescueDriveStatusResponse::liveProgress),
    };
  }

  friend bool operator==(const RescueDriveStatusResponse&,
                         const RescueDriveStatusResponse&) = default;
};

}  // namespace tidewarden::rescue
