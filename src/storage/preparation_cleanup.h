// Removal of one preparation workspace, exactly as it was inspected, and the report of what that achieved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "storage/preparation_storage_gate.h"
#include "storage/preparation_tree_snapshot.h"
#include "storage/storage_messages.h"

namespace tidewarden::storage {

// How long user-requested removal watches a workspace for activity before deleting.
inline constexpr double kPreparationActivityRecheckSeconds = 20.0;

enum class PreparationRemovalRequester {
  // The operation that made the workspace removes it at its end; the snapshot was
  // taken just before and the caller already knows nothing else uses it.
  ownOperation,
  // The user removes a leftover after a scan: the tree and its activity are checked
  // again, twice, kPreparationActivityRecheckSeconds apart, before anything goes.
  user,
};

// Removes the workspace `id` below the gate's root bottom-up, only if every entry is
// still the one in `approved` (same path, identity and kind): each directory is
// re-opened without following a link and required unchanged before it is entered,
// each entry re-inspected right before it is unlinked, and a new, changed, replaced
// or mounted entry stops the removal there. What was removed stays removed; nothing
// outside the workspace (and the then empty preparation root) is touched, no mount
// is crossed and no disk is detached. A file with several names, all inside the
// approved tree, may lose its other names to this removal before its turn. An
// entry's immutable and append-only user flags (root-owned entries only) are cleared
// before it, or for a directory its contents, are removed; every removal goes through
// the platform's FileFlags. The gate must be held by the caller for the
// whole call. Never throws: every problem is an issue of the report, which is
// `verified` only when the workspace's absence was confirmed.
InstallerPreparationCleanupReport removePreparationWorkspace(PreparationStorageGate& gate, std::string_view id,
                                                             const PreparationTreeSnapshot& approved,
                                                             PreparationRemovalRequester requester);

// One sentence on a cleanup report, for the messages of the operation that owned the
// workspace.
std::string cleanupSummary(const InstallerPreparationCleanupReport& report);

}  // namespace tidewarden::storage
