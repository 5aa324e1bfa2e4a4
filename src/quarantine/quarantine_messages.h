// Wire and record types of startup item quarantine: requests, the reply, the manifest and its
// move records.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::quarantine {

namespace json = platform::json;

// Whether a planned move has happened. Written before the move as `pending` and after
// it as `moved`; a record without it (written before moves were planned ahead) is moved.
enum class MoveState { pending, moved };
inline constexpr std::array<std::pair<MoveState, std::string_view>, 2> kMoveStateRawValues{{
    {MoveState::pending, "pending"},
    {MoveState::moved, "moved"},
}};
constexpr const auto& jsonEnumValues(MoveState) { return kMoveStateRawValues; }

// How far a quarantine got. `moving`: the moves were planned and written down before the
// first one, and the quarantine has not finished; `complete`: every move is done;
// `rolledBack`: an unfinished quarantine was undone, and its records are the files that
// could not be put back. A manifest without it (written before this key) is complete.
enum class QuarantineState { moving, complete, rolledBack };
inline constexpr std::array<std::pair<QuarantineState, std::string_view>, 3> kQuarantineStateRawValues{{
    {QuarantineState::moving, "moving"},
    {QuarantineState::complete, "complete"},
    {QuarantineState::rolledBack, "rolledBack"},
}};
constexpr const auto& jsonEnumValues(QuarantineState) { return kQuarantineStateRawValues; }

// Where a file was and where the quarantine put it.
struct MoveRecord {
  std::string original;            // absolute path before the move
  std::string quarantined;         // absolute path inside the quarantine folder
  std::optional<MoveState> state;  // absent: moved

  bool moved() const { return state.value_or(MoveState::moved) == MoveState::moved; }

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("original", &MoveRecord::original),
        json::field("quarantined", &MoveRecord::quarantined),
        json::field("state", &MoveRecord::state),
    };
  }

  friend bool operator==(const MoveRecord&, const MoveRecord&) = default;
};

// Every move of one quarantine, in move order; restore replays it backwards. Readers
// that predate `state` ignore it and still restore every file that is in the folder.
struct QuarantineManifest {
  std::string id;                   // the quarantine ID, equal to the folder name
  std::string label;                // the item's launchd label
  platform::json::Date createdAt;   // creation time
  std::vector<MoveRecord> records;  // complete: one record per completed move; else every planned move
  std::optional<QuarantineState> state;  // absent: complete

  bool finished() const { return state.value_or(QuarantineState::complete) == QuarantineState::complete; }

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("id", &QuarantineManifest::id),
        json::field("label", &QuarantineManifest::label),
        json::field("createdAt", &QuarantineManifest::createdAt),
        json::field("records", &QuarantineManifest::records),
        json::field("state", &QuarantineManifest::state),
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
