// Quarantine of a suspicious launch daemon into the helper's private folder, with a manifest, and its restore.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/platform.h"
#include "quarantine/quarantine_messages.h"

namespace tidewarden::quarantine {

// Where every quarantine folder lives, one per quarantine ID.
inline constexpr std::string_view kQuarantineRoot = "/Library/Application Support/Tidewarden/Quarantine";
inline constexpr std::string_view kManifestName = "manifest.json";
// Written first, then moved to kManifestName without replacing anything.
inline constexpr std::string_view kManifestPendingName = ".manifest.json.pending";
inline constexpr std::string_view kPropertyListPrefix = "startup-";
// After the bootout, before anything moves: launchd lets go of the daemon's files.
inline constexpr double kBootoutSettleSeconds = 0.25;
// The largest manifest a restore reads.
inline constexpr std::size_t kMaxManifestBytes = 1 << 20;

inline constexpr const char* kQuarantinedMessage = "The background item was disabled and moved into quarantine.";
inline constexpr const char* kRestoredMessage =
    "The quarantined files were restored. The startup service was not automatically re-enabled.";

// A program path may be moved only when it lies in one of these and none of the system's.
bool isMovableLocation(std::string_view standardizedPath);

// The processes of a "ps -axo pid=,args=" listing whose arguments contain any of `paths`.
// Only process ids above 1 that are not `ownPid` are named: 0, -1 and 1 would signal a
// process group, every process or launchd itself.
std::vector<pid_t> processesRunning(std::string_view listing, const std::vector<std::string>& paths, pid_t ownPid);

// Stateless: every call re-reads what it needs from disk, so concurrent calls for the
// same item are kept apart by the file system itself (moves never replace, each
// quarantine writes its own new folder and its manifest once).
class BackgroundQuarantineEngine {
 public:
  explicit BackgroundQuarantineEngine(platform::Platform& platform) : platform_(platform) {}

  // Evaluates the item (refusals change nothing), makes its quarantine folder, boots the
  // daemon out, stops the processes running its movable programs, moves the property
  // list and the movable programs into the folder and writes the manifest. A failure
  // after the first move puts every moved file back and is then thrown; the folder
  // stays, the daemon stays booted out. Returns the quarantine ID.
  std::string quarantine(const BackgroundQuarantineRequest& request);

  // Moves the files of a quarantine back to where they were, last moved first, never
  // over an existing file. Does not load the daemon again; the folder and manifest stay.
  void restore(const BackgroundRestoreRequest& request);

 private:
  platform::Platform& platform_;
};

}  // namespace tidewarden::quarantine
