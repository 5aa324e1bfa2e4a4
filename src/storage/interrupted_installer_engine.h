// The interrupted-installer engine: download scans, their approvals, and removal of approved downloads.
#pragma once

#include <map>
#include <string>

#include "platform/dispatch_queue.h"
#include "platform/platform.h"
#include "storage/installer_file_identity.h"
#include "storage/preparation_inventory.h"
#include "storage/storage_messages.h"

namespace tidewarden::storage {

inline constexpr double kActivityObservationSeconds = 3.0;
inline constexpr double kRemovalRecheckSeconds = 20.0;
inline constexpr double kApprovalLifetimeSeconds = 1800;
// Download and preparation approvals together.
inline constexpr std::size_t kMaxApprovals = 1024;
// The snapshot entries preparation approvals may hold between them (each snapshot
// counted once however many approvals share it): what one scan can approve, sixteen
// workspaces at the entry limit each.
inline constexpr std::size_t kMaxApprovedPreparationEntries = kPreparationWorkspacesInventoried * kPreparationEntryLimit;
inline constexpr std::size_t kMaxRemovalCandidates = 50;
inline constexpr double kOwnRecentWindowSeconds = 60;
inline constexpr double kAppleRecentWindowSeconds = 600;

// Owns the approvals that scans issue and removals consume. All state is confined to
// `queue` ("com.ambergrove.Tidewarden.interrupted-installers"): the service runs scans
// and removals there, so a scan never overlaps a removal and the approvals need no
// lock. Approvals live in memory only and die with the process, so a helper that was
// killed mid-removal approves nothing until a new scan has looked again.
class InterruptedInstallerEngine {
 public:
  InterruptedInstallerEngine(const platform::Platform& platform, platform::SerialQueue& queue);

  platform::SerialQueue& queue() { return queue_; }

  // Finds, measures and watches (3 s) every candidate download, explains each, and
  // approves for 30 minutes every one that looked idle; preparation workspaces are
  // appended. On the queue only. Never throws: problems become warnings or
  // explanations, and anything not fully checked is never approved.
  InterruptedInstallerScanResponse scanInterruptedInstallerDownloads();

  // Removes the approved downloads named by `request` after validating each again,
  // watching them for 20 s more and pinning their folders; each refusal is one issue
  // and stops only its own item. On the queue only. Never throws.
  InterruptedInstallerRemovalResponse removeInterruptedInstallerDownloads(
      const InterruptedInstallerRemovalRequest& request);

  // The snapshot entries the preparation approvals hold, each shared snapshot once:
  // what bounds their memory.
  std::size_t approvedPreparationEntries() const;

 private:
  struct Approval {
    InterruptedInstallerDownload item;
    InstallerFileIdentity identity;  // as seen at the scan's first look
    double expiresAt = 0;            // platform clock (seconds since 2001)
  };

  void pruneExpired(double now);
  // Drops expired approvals, then the ones closest to expiry (of either kind), until
  // at most kMaxApprovals remain and the preparation approvals hold at most
  // kMaxApprovedPreparationEntries entries. Returns true when any unexpired approval
  // had to go.
  bool pruneToLimit(double now);
  // Keeps `approval`, sharing the snapshot of an earlier approval of the same
  // workspace when the two are equal, so unchanged workspaces cost nothing per scan.
  void addPreparationApproval(PreparationApproval approval);

  const platform::Platform& platform_;
  platform::SerialQueue& queue_;
  std::map<std::string, Approval> approvals_;
  std::map<std::string, PreparationApproval> preparationApprovals_;
};

}  // namespace tidewarden::storage
