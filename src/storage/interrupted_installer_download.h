// One item of an interrupted-download scan, with its source and activity enumerations.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/json_codec.h"

namespace tidewarden::storage {

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

  // Strict decoding; throws platform::json::DecodeError.
  static InterruptedInstallerDownload fromJson(const nlohmann::json& object);
  // Absent optional fields are omitted.
  nlohmann::json toJson() const;

  friend bool operator==(const InterruptedInstallerDownload&,
                         const InterruptedInstallerDownload&) = default;
};

}  // namespace tidewarden::storage
