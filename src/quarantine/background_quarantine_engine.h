// Quarantine of a suspicious launch daemon into the helper's private folder, with a manifest, and its restore.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "platform/platform.h"
#include "quarantine/quarantine_manifest.h"
#include "quarantine/quarantine_messages.h"

namespace tidewarden::quarantine {

inline constexpr std::string_view kPropertyListPrefix = "startup-";
// After the bootout, before anything moves: launchd lets go of the daemon's files.
inline constexpr double kBootoutSettleSeconds = 0.25;

inline constexpr const char* kQuarantinedMessage = "The background item was disabled and moved into quarantine.";
inline constexpr const char* kRestoredMessage =
    "The quarantined files were restored. The startup service was not automatically re-enabled.";
inline constexpr const char* kRestoreIncompleteMessage = "Tidewarden could not restore every quarantined file.";
inline constexpr const char* kUnfinishedRestoredNote =
    "This quarantine had not finished when the helper stopped; the files it had moved were put back.";

// A program path may be moved only when it lies in one of these and none of the system's,
// and not in the helper's own state (its quarantines, its fan recovery record, its
// preparation storage), whatever case it is spelled in.
bool isMovableLocation(std::string_view standardizedPath);

// What a "ps -axo pid=,args=" listing says: the processes whose arguments contain any of
// `paths`, and whether every line was a process line. Only process ids above 1 that are
// not `ownPid` are named: 0, -1 and 1 would signal a process group, every process or
// launchd itself.
struct ProcessListing {
  std::vector<pid_t> pids;
  bool unreadLines = false;  // a line that is not "PID ARGUMENTS": the listing is not known whole
};
ProcessListing processesRunning(std::string_view listing, const std::vector<std::string>& paths, pid_t ownPid);

struct QuarantineOutcome {
  std::string id;
  // Sentences on what did not happen (the bootout, stopping the program, a file that was
  // not there to move, a related program that could not be identified), in that order.
  std::vector<std::string> notes;

  // The success text followed by the notes.
  std::string message() const;
};

// Stateless: every call re-reads what it needs from disk, so concurrent calls for the
// same item are kept apart by the file system itself (moves never replace, each
// quarantine makes its own new folder).
class BackgroundQuarantineEngine {
 public:
  explicit BackgroundQuarantineEngine(platform::Platform& platform) : platform_(platform) {}

  // Evaluates the item (refusals change nothing), makes its quarantine folder and writes
  // the manifest of every planned move (each pending) before anything moves, boots the
  // daemon out, stops the processes running its movable programs, moves the property
  // list and the movable programs into the folder, recording each move, and marks the
  // manifest complete. A failure after the folder exists rolls the quarantine back
  // (rollBackQuarantine) and is then thrown; the daemon stays booted out. A crash leaves
  // the manifest `moving`, for the restart recovery to roll back.
  QuarantineOutcome quarantine(const BackgroundQuarantineRequest& request);

  // Moves back each file of the quarantine that is still in its folder and whose
  // original place is free, last moved first, never over an existing entry; so a later
  // restore finishes one that stopped part-way. Returns the success message. Throws when
  // a file stayed (restoreConflict when its place was taken, else a message that names
  // what was restored and what stayed and why), and restoreConflict when nothing was
  // left to restore. Does not load the daemon again; the folder and manifest stay.
  std::string restore(const BackgroundRestoreRequest& request);

 private:
  platform::Platform& platform_;
};

}  // namespace tidewarden::quarantine
