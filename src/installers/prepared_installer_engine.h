// Reviews of the installer applications in /Applications, and the image release and deletion they approve.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "installers/installer_image_inventory.h"
#include "installers/prepared_installer_handle.h"
#include "installers/installers_messages.h"
#include "platform/platform.h"
#include "storage/preparation_tree_snapshot.h"

namespace tidewarden::installers {

// How long a review approves its one action.
inline constexpr double kReviewLifetimeSeconds = 300;
// A scan stops starting new items this long after it began.
inline constexpr double kScanTimeLimitSeconds = 300;
inline constexpr std::size_t kMaxInstallersPerScan = 32;
inline constexpr std::size_t kApplicationsListingLimit = 4096;
// An approval table holding more than this after pruning is emptied.
inline constexpr std::size_t kMaxApprovals = 256;

struct PreparedInstallerImageProbes {
  std::function<std::vector<PreparedInstallerAttachment>(const std::string& bundlePath)> inspect;
  std::function<void(const std::string& bundlePath, const std::vector<PreparedInstallerAttachment>&)> requireNotInUse;
  std::function<void(const std::string& bundlePath, const PreparedInstallerAttachment&)> detach;
};

struct PreparedInstallerProbes {
  std::function<void(const std::string& bundlePath)> validateSignature;
  std::function<void(const std::string& bundlePath)> requireIdle;
  std::function<std::optional<std::int64_t>(const std::string& path)> freeSpace;
};

// One per process. Every operation holds `stateLock` for its whole run; the service
// also runs each inside the local-installer guard. A review remembers exactly what it
// saw (the item, the bundle's full tree snapshot and, for a release, the attachments)
// and is consumed by the first request that names it, whatever the outcome. Reviews
// live in memory only: a restarted helper approves nothing until it has looked again.
// The probes and the clock are replaceable so that tests can reach every branch.
class PreparedInstallerEngine {
 public:
  struct Approval {
    PreparedInstallerItem item;
    storage::PreparationTreeSnapshot snapshot;
    // For what is left of an interrupted deletion: the name of its intent record.
    std::optional<std::string> interruptedRecord;
    // The bundle directory's own identity when reviewed.
    storage::InstallerFileIdentity bundle;
  };
  struct ImageApproval {
    PreparedInstallerItem item;
    storage::PreparationTreeSnapshot snapshot;
    std::vector<PreparedInstallerAttachment> attachments;
    storage::InstallerFileIdentity bundle;
  };

  explicit PreparedInstallerEngine(const platform::Platform& platform);

  // Reviews every "Install macOS ….app" directly in /Applications (or `onlyPath`).
  // What is left of a deletion a crash cut short is offered for deletion again. Never
  // throws: failures become item reasons or warnings. Changes nothing on disk but the
  // deletion records (those of bundles that are gone or whole are dropped, and the
  // record slot is set aside when missing).
  PreparedInstallerScanResponse scan(const PreparedInstallerScanRequest& request);
  // Detaches the reviewed images with a normal detach, after proving the installer
  // and its attachments unchanged and unused. Never deletes a file. Never throws.
  PreparedInstallerImageReleaseResponse releaseImages(const PreparedInstallerImageReleaseRequest& request);
  // Records the deletion's intent durably, removes exactly the reviewed tree, then the
  // empty bundle, verifies the path is gone and drops the record. Never throws.
  PreparedInstallerDeleteResponse deleteInstaller(const PreparedInstallerDeleteRequest& request);

  std::mutex stateLock;
  std::map<std::string, Approval> approvals;
  std::map<std::string, ImageApproval> imageApprovals;
  PreparedInstallerImageProbes imageProbes;
  std::string applicationsRoot = "/Applications";
  PreparedInstallerProbes probes;
  std::function<double()> clock;  // seconds since 2001

 private:
  using PendingDeletions = std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<std::string, InstallerDeletionRecord>>;
  PendingDeletions pendingDeletions(PreparedInstallerScanResponse& response);
  void reviewItem(PreparedInstallerItem& item, const PendingDeletions& pending);
  void reviewRemains(PreparedInstallerItem& item, const PreparedInstallerHandle& handle,
                     const storage::PreparationTreeSnapshot& first, const std::string& recordName,
                     const InstallerDeletionRecord& record);
  const platform::Platform& platform_;
};

}  // namespace tidewarden::installers
