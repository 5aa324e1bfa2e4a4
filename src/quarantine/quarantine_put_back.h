// Putting quarantined files back where they were: one file, never over anything, and the roll-back of a whole quarantine.
#pragma once

#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "quarantine/quarantine_messages.h"

namespace tidewarden::quarantine {

struct PutBack {
  enum class Outcome {
    putBack,          // the file is at its original place again
    notInQuarantine,  // nothing of that name is in the folder (never moved, or already back)
    placeTaken,       // something exists at the original place: nothing was moved
    failed,           // see `reason`; the file stays in quarantine
  };
  Outcome outcome = Outcome::failed;
  // Why it failed; for a file put back whose folders could not be synced, what may not
  // survive a power loss.
  std::string reason;
};

// Moves the quarantined file of `record` (in the folder `folderFd`) back to its original
// place, making the missing folders above it, never over an existing entry, and syncs
// both folders. A move that finds the quarantined file gone because a restore running at
// the same time took it is `notInQuarantine`; any other failed move is `failed`.
PutBack putBack(const platform::UniqueFd& root, int folderFd, const MoveRecord& record);

// Undoes an unfinished quarantine: puts back every file of `manifest` that is in the
// folder, last moved first. When nothing is left, removes the manifest and the folder,
// as if the quarantine had never begun; otherwise rewrites the manifest as rolledBack,
// listing exactly the files still in quarantine, so `restore` can bring them back later.
// Throws only when that manifest cannot be written (the old one then still lists them).
void rollBackQuarantine(const platform::UniqueFd& root, int quarantineRootFd, int folderFd, QuarantineManifest manifest);

}  // namespace tidewarden::quarantine
