// Wire and record types of startup item quarantine: requests, the reply, the manifest and its
// move records.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::quarantine {

namespace json = platform::json;

// Where a file was and where the quarantine put it.
struct MoveRecord {
  std::string original;     // absolute path before the move
  std::string quarantined;  // absolute path inside the quarantine folder

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("original", &MoveRecord::original),
        json::field("quarantined", &MoveRecord::quarantined),
    };
  }

  friend bool operator==(const MoveRecord&, const MoveRecord&) = default;
};

// Every move of one quarantine, in move order; restore replays it backwards.
struct QuarantineManifest {
  std::string id;                   // the quarantine ID, equal to the folder name
  std::string label;                // the item's launchd label
  platform::json::Date createdAt;   // creation time
  std::vector<MoveRecord> records;  // one record per completed move

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("id", &QuarantineManifest::id),
        json::field("label", &QuarantineManifest::label),
        json::field("createdAt", &QuarantineManifest::createdAt),
        json::field("records", &QuarantineManifest::records),
    };
  }

  friend bool operator==(const QuarantineManifest&, const QuarantineManifest&) = default;
};

// The startup item the application asks to quarantine.
struct BackgroundQuarantineRequest {
  std::string label;      // the launchd label seen when the item was scanned
  std::string plistPath;  // path of the item's property list
  // decoded but not used: the helper derives the files it moves
  std::vector<std::string> relatedPaths;

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("label", &BackgroundQuarantineRequest::label),
        json::field("plistPath", &BackgroundQuarantineRequest::plistPath),
        json::field("relatedPaths", &BackgroundQuarantineRequest::relatedPaths),
    };
  }

  friend bool operator==(const BackgroundQuarantineRequest&,
                         const BackgroundQuarantineRequest&) = default;
};

// The quarantine to put back.
struct BackgroundRestoreRequest {
  std::string quarantineID;  // identifier returned by the quarantine

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("quarantineID", &BackgroundRestoreRequest::quarantineID),
    };
  }

  friend bool operator==(const BackgroundRestoreRequest&,
                         const BackgroundRestoreRequest&) = default;
};

// The reply of both quarantine and restore.
struct PrivilegedActionResponse {
  bool success = false;
  std::string message;                      // what was and was not done
  std::optional<std::string> quarantineID;  // set when a quarantine was made

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("success", &PrivilegedActionResponse::success),
        json::field("message", &PrivilegedActionResponse::message),
        json::field("quarantineID", &PrivilegedActionResponse::quarantineID),
    };
  }

  friend bool operator==(const PrivilegedActionResponse&, const PrivilegedActionResponse&) = default;
};

}  // namespace tidewarden::quarantine
