// Wire types of interrupted downloads and installer preparation storage, with their enumerations.
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

namespace tidewarden::storage {

namespace json = platform::json;

enum class InstallerDownloadSource {
  appleSoftwareUpdate,    // an Apple software-update cache
  tidewarden,             // the application's own download folder
  tidewardenPreparation,  // a private preparation workspace
};

inline constexpr std::array<std::pair<InstallerDownloadSource, std::string_view>, 3>
    kInstallerDownloadSourceRawValues{{
        {InstallerDownloadSource::appleSoftwareUpdate, "appleSoftwareUpdate"},
        {InstallerDownloadSource::tidewarden, "tidewarden"},
        {InstallerDownloadSource::tidewardenPreparation, "tidewardenPreparation"},
    }};

constexpr const auto& jsonEnumValues(InstallerDownloadSource) {
  return kInstallerDownloadSourceRawValues;
}

enum class InstallerDownloadActivity { inactive, active, recent, unverified };

inline constexpr std::array<std::pair<InstallerDownloadActivity, std::string_view>, 4>
    kInstallerDownloadActivityRawValues{{
        {InstallerDownloadActivity::inactive, "inactive"},
        {InstallerDownloadActivity::active, "active"},
        {InstallerDownloadActivity::recent, "recent"},
        {InstallerDownloadActivity::unverified, "unverified"},
    }};

constexpr const auto& jsonEnumValues(InstallerDownloadActivity) {
  return kInstallerDownloadActivityRawValues;
}

// An interrupted download or a leftover preparation workspace found by a scan.
struct InterruptedInstallerDownload {
  std::string id;    // fresh UUID for this scan result; the handle used by removal
  std::string path;  // canonical absolute path
  InstallerDownloadSource source = InstallerDownloadSource::tidewarden;
  std::int64_t allocatedBytes = 0;
  std::int64_t logicalBytes = 0;
  platform::json::Date modifiedAt;  // the file's modification time
  InstallerDownloadActivity activity = InstallerDownloadActivity::unverified;
  std::string explanation;                  // the user-facing reason
  std::optional<bool> measurementComplete;  // set for preparation workspaces only

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("id", &InterruptedInstallerDownload::id),
        json::field("path", &InterruptedInstallerDownload::path),
        json::field("source", &InterruptedInstallerDownload::source),
        json::field("allocatedBytes", &InterruptedInstallerDownload::allocatedBytes),
        json::field("logicalBytes", &InterruptedInstallerDownload::logicalBytes),
        json::field("modifiedAt", &InterruptedInstallerDownload::modifiedAt),
        json::field("activity", &InterruptedInstallerDownload::activity),
        json::field("explanation", &InterruptedInstallerDownload::explanation),
        json::field("measurementComplete", &InterruptedInstallerDownload::measurementComplete),
    };
  }

  friend bool operator==(const InterruptedInstallerDownload&,
                         const InterruptedInstallerDownload&) = default;
};

// Interrupted downloads and preparation workspaces, largest allocation first.
struct InterruptedInstallerScanResponse {
  platform::json::Date checkedAt;
  std::vector<InterruptedInstallerDownload> items;
  // false when any limit was reached or a location was unreadable
  bool protectedLocationsChecked = false;
  std::vector<std::string> warnings;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("checkedAt", &InterruptedInstallerScanResponse::checkedAt),
        json::field("items", &InterruptedInstallerScanResponse::items),
        json::field("protectedLocationsChecked",
                    &InterruptedInstallerScanResponse::protectedLocationsChecked),
        json::field("warnings", &InterruptedInstallerScanResponse::warnings),
    };
  }

  friend bool operator==(const InterruptedInstallerScanResponse&,
                         const InterruptedInstallerScanResponse&) = default;
};

// Scan item identifiers to remove; the count and acknowledgment are judged by the engine.
struct InterruptedInstallerRemovalRequest {
  std::vector<std::string> candidateIDs;  // item ids from a scan response
  bool noInstallationInProgressAcknowledged = false;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("candidateIDs", &InterruptedInstallerRemovalRequest::candidateIDs),
        json::field("noInstallationInProgressAcknowledged",
                    &InterruptedInstallerRemovalRequest::noInstallationInProgressAcknowledged),
    };
  }

  friend bool operator==(const InterruptedInstallerRemovalRequest&,
                         const InterruptedInstallerRemovalRequest&) = default;
};

// What a removal request removed, and why the rest was kept.
struct InterruptedInstallerRemovalResponse {
  std::vector<std::string> removedIDs;  // ids whose files were removed and verified gone
  std::int64_t removedAllocatedBytes = 0;
  std::optional<std::int64_t> freeSpaceBefore;
  std::optional<std::int64_t> freeSpaceAfter;
  std::vector<std::string> issues;  // one entry per refused or failed candidate or general problem
  // absent when no preparation item was requested
  std::optional<std::vector<InterruptedInstallerDownload>> remainingPreparationItems;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("removedIDs", &InterruptedInstallerRemovalResponse::removedIDs),
        json::field("removedAllocatedBytes",
                    &InterruptedInstallerRemovalResponse::removedAllocatedBytes),
        json::field("freeSpaceBefore", &InterruptedInstallerRemovalResponse::freeSpaceBefore),
        json::field("freeSpaceAfter", &InterruptedInstallerRemovalResponse::freeSpaceAfter),
        json::field("issues", &InterruptedInstallerRemovalResponse::issues),
        json::field("remainingPreparationItems",
                    &InterruptedInstallerRemovalResponse::remainingPreparationItems),
    };
  }

  friend bool operator==(const InterruptedInstallerRemovalResponse&,
                         const InterruptedInstallerRemovalResponse&) = default;
};

// What removing one preparation workspace achieved.
struct InstallerPreparationCleanupReport {
  bool verified = false;                     // the workspace is gone and its absence was verified
  std::optional<std::string> workspacePath;  // kept when removal was not verified
  std::optional<std::int64_t> allocatedBytesBefore;
  std::optional<std::int64_t> remainingAllocatedBytes;  // after a failed removal
  std::optional<std::int64_t> availableBytesBefore;
  std::optional<std::int64_t> availableBytesAfter;
  std::vector<std::string> issues;  // problems met during removal

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("verified", &InstallerPreparationCleanupReport::verified),
        json::field("workspacePath", &InstallerPreparationCleanupReport::workspacePath),
        json::field("allocatedBytesBefore",
                    &InstallerPreparationCleanupReport::allocatedBytesBefore),
        json::field("remainingAllocatedBytes",
                    &InstallerPreparationCleanupReport::remainingAllocatedBytes),
        json::field("availableBytesBefore",
                    &InstallerPreparationCleanupReport::availableBytesBefore),
        json::field("availableBytesAfter", &InstallerPreparationCleanupReport::availableBytesAfter),
        json::field("issues", &InstallerPreparationCleanupReport::issues),
    };
  }

  friend bool operator==(const InstallerPreparationCleanupReport&,
                         const InstallerPreparationCleanupReport&) = default;
};

// The installer size the client expects to prepare; the range is judged by the preflight.
struct InstallerPreparationPreflightRequest {
  std::int64_t packageBytes = 0;  // expected full-installer size
  bool packageAlreadyDownloaded = false;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("packageBytes", &InstallerPreparationPreflightRequest::packageBytes),
        json::field("packageAlreadyDownloaded",
                    &InstallerPreparationPreflightRequest::packageAlreadyDownloaded),
    };
  }

  friend bool operator==(const InstallerPreparationPreflightRequest&,
                         const InstallerPreparationPreflightRequest&) = default;
};

// Whether enough working space exists for a preparation.
struct InstallerPreparationPreflightResponse {
  bool allowed = false;
  std::string message;
  std::optional<std::int64_t> availableBytes;  // measured free space
  std::int64_t estimatedAdditionalBytes = 0;   // the working-space budget

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("allowed", &InstallerPreparationPreflightResponse::allowed),
        json::field("message", &InstallerPreparationPreflightResponse::message),
        json::field("availableBytes", &InstallerPreparationPreflightResponse::availableBytes),
        json::field("estimatedAdditionalBytes",
                    &InstallerPreparationPreflightResponse::estimatedAdditionalBytes),
    };
  }

  friend bool operator==(const InstallerPreparationPreflightResponse&,
                         const InstallerPreparationPreflightResponse&) = default;
};

// The outcome of the (retired) preparation safety check.
struct InstallerPreparationSafetyResponse {
  bool passed = false;
  std::string message;
  std::optional<InstallerPreparationCleanupReport> cleanup;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("passed", &InstallerPreparationSafetyResponse::passed),
        json::field("message", &InstallerPreparationSafetyResponse::message),
        json::field("cleanup", &InstallerPreparationSafetyResponse::cleanup),
    };
  }

  friend bool operator==(const InstallerPreparationSafetyResponse&,
                         const InstallerPreparationSafetyResponse&) = default;
};

}  // namespace tidewarden::storage

namespace tidewarden::storage {

// What a preparation workspace is for and how far its operation got, kept as
// "operation.json" inside the workspace. Every key is required.
struct PreparationManifest {
  std::int64_t schema = 1;           // always 1
  std::string operationID;           // the workspace folder name
  std::string version;               // expected macOS version; empty for a safety check
  std::string build;                 // expected macOS build
  std::string purpose;               // "installer" or "safety-check"
  platform::json::Date createdAt;    // when the workspace was made
  std::string phase;                 // "created", then the step last entered

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("schema", &PreparationManifest::schema),
        json::field("operationID", &PreparationManifest::operationID),
        json::field("version", &PreparationManifest::version),
        json::field("build", &PreparationManifest::build),
        json::field("purpose", &PreparationManifest::purpose),
        json::field("createdAt", &PreparationManifest::createdAt),
        json::field("phase", &PreparationManifest::phase),
    };
  }

  friend bool operator==(const PreparationManifest&, const PreparationManifest&) = default;
};

}  // namespace tidewarden::storage
