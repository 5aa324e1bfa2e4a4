// The leftover preparation workspaces a download scan reports, and their removal on the user's request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/preparation_tree_snapshot.h"
#include "storage/storage_messages.h"

namespace tidewarden::storage {

// Workspaces inventoried per scan, and how long the inventory may take.
inline constexpr std::size_t kPreparationWorkspacesInventoried = 16;
inline constexpr double kPreparationInventorySeconds = 60.0;
// The longest the inventory waits for leftovers' unwritten data to reach the disk.
inline constexpr double kLeftoverFlushSeconds = 10.0;
// How long an approval issued by the inventory stays valid.
inline constexpr double kPreparationApprovalSeconds = 1800.0;

inline constexpr const char* kPreparationIdleExplanation =
    "A private copy/extraction workspace from Tidewarden. Removing it does not remove the source download or an "
    "installer already in /Applications. Recovery verifies its contents and activity again over 20 seconds.";
inline constexpr const char* kPreparationApprovalExpired = "Preparation approval expired. Check Downloads again.";

// An idle, fully measured workspace as the scan saw it; removal acts only within it.
struct PreparationApproval {
  InterruptedInstallerDownload item;
  // Shared and never changed: the approvals of one unchanged workspace, issued by
  // several scans, hold one snapshot between them.
  std::shared_ptr<const PreparationTreeSnapshot> snapshot;
  double expiresAt = 0;  // platform clock time (seconds since 2001)
};

struct PreparationInventory {
  std::vector<InterruptedInstallerDownload> items;  // source tidewardenPreparation, one per workspace
  std::vector<PreparationApproval> approvals;       // one per idle, fully measured workspace
  std::vector<std::string> warnings;
  bool complete = true;  // false when a limit was reached or the root could not be read
};

// Lists the preparation root (read-only, no gate needed: it changes nothing) and, for
// at most 16 workspaces within 60 s, checks contents and manifest, measures the tree
// (twice, so a workspace in use shows as changed) and asks lsof, ps and hdiutil about
// it. Never throws: problems become item explanations and warnings. A missing root
// is simply no workspaces.
PreparationInventory inventoryPreparationWorkspaces(const platform::Platform& platform);

struct PreparationRemovalOutcome {
  std::vector<std::string> removedIDs;     // item ids of workspaces removed and verified gone
  std::int64_t removedAllocatedBytes = 0;  // their allocation as approved
  std::vector<std::string> issues;         // "<path>: <reason>", or a general problem
  std::vector<InterruptedInstallerDownload> remainingItems;  // workspaces still present afterwards
  // The approvals of the remaining items that are idle and fully measured, so that
  // their ids serve a following removal as a scan's would.
  std::vector<PreparationApproval> remainingApprovals;
};

// Removes the approved workspaces one by one under the preparation gate, each only
// after its user-requested re-checks (tree unchanged and idle, again 20 s later),
// then inventories what remains (and approves what of it is idle). An expired approval or a refusal keeps that
// workspace and becomes an issue; other workspaces go on. Never throws.
PreparationRemovalOutcome removeApprovedPreparationWorkspaces(const platform::Platform& platform,
                                                              const std::vector<PreparationApproval>& approvals);

}  // namespace tidewarden::storage
