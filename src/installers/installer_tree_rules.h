// The tree snapshot of an installer bundle and the rules every entry of it must keep.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "installers/prepared_installer_handle.h"
#include "platform/platform.h"
#include "storage/preparation_tree_snapshot.h"

namespace tidewarden::installers {

// The most entries an installer snapshot may hold; one more is the safety limit.
inline constexpr std::size_t kInstallerEntryLimit = 99999;
// The longest one snapshot of a bundle may take, by the engine's clock: a huge bundle
// on a slow disk must not hold the local-installer guard for minutes.
inline constexpr double kInstallerSnapshotTimeLimitSeconds = 30;

// The preparation tree snapshot of the bundle's contents (no link followed, no special
// file, no mount); a walk cut by its entry limit or by kInstallerSnapshotTimeLimitSeconds
// of `clock` (seconds), or holding more than kInstallerEntryLimit entries, is refused
// with the safety-limit message, never used.
storage::PreparationTreeSnapshot snapshotInstallerTree(const platform::Platform& platform,
                                                       const PreparedInstallerHandle& handle,
                                                       const std::function<double()>& clock);

// No entry with file flags that the deletion could not clear (storage's
// unclearableFlagsReason; the sentence names the entry of the bundle at `bundlePath`);
// every entry root-owned; group- or other-writable only for symbolic links; every
// regular file's link count equal to the number of its entries in the snapshot (a
// link to anything outside the bundle would be removed with it). An empty snapshot
// cannot be measured. Throws InstallerSafetyError with the rule's sentence.
void applyInstallerTreeRules(const storage::PreparationTreeSnapshot& snapshot, const std::string& bundlePath);

// The bundle itself may carry only flags the deletion can clear, and /Applications
// none that forbid removing an entry from it (which the deletion never changes).
// Returns the bundle's flags; throws InstallerSafetyError naming the one in the way.
std::uint32_t requireRemovableBundle(const platform::Platform& platform, const PreparedInstallerHandle& handle);

// Entries element by element, both byte totals and the latest modification time.
bool sameInstallerTree(const storage::PreparationTreeSnapshot& a, const storage::PreparationTreeSnapshot& b);

}  // namespace tidewarden::installers
