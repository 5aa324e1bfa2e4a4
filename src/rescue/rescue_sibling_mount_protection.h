// Keeping the other partitions of the selected disk unmounted while a Rescue Drive is created on one of them.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/disk_arbitration.h"
#include "platform/dispatch_queue.h"
#include "rescue/rescue_disk_query.h"
#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {

inline constexpr const char* kMountApprovalQueueLabel = "com.ambergrove.Tidewarden.RescueMountApproval";
inline constexpr const char* kSiblingDissentMessage =
    "Tidewarden is preserving this volume's unmounted state during installer creation.";
inline constexpr const char* kSiblingRequestUnverifiedIssue =
    "Disk Arbitration could not verify a sibling mount request. No further creation step is allowed.";
inline constexpr const char* kSiblingIdentityChangedIssue =
    "A sibling identity changed during mount protection. No further creation step is allowed.";
inline constexpr const char* kProtectionNotEstablishedMessage =
    "Could not establish sibling mount protection for the verified parent. Nothing was erased.";

// The selected partition's siblings as they were when protection began.
struct RescueSiblingMountSnapshot {
  RescuePhysicalIdentity parent;
  std::string selectedIdentifier;
  std::vector<RescuePartitionIdentity> siblings;  // every other partition of the parent, in map order
  std::set<std::string> initiallyMounted;         // siblings that had a mount point
};

// Re-reads the parent's partitions. Refuses a scope other than "partition" and a
// sibling that cannot be read (RescueDestinationError).
RescueSiblingMountSnapshot captureSnapshot(const RescueDestination& destination, const DiskQuery& query);

// The names of the fields in which two records of one partition differ: "partition
// UUID", "start offset", "extent size", "partition type", "volume UUID", "volume name".
std::vector<std::string> changedPartitionFields(const RescuePartitionIdentity& before,
                                                const RescuePartitionIdentity& after);

// Re-reads every sibling after creation and refuses (RescueDestinationError) one that
// cannot be read, whose mounted state differs from the snapshot, or whose record changed.
void verifyUnchanged(const RescueSiblingMountSnapshot& snapshot, const DiskQuery& query);

// While it lives, every mount of a sibling that was unmounted at capture is refused with
// kSiblingDissentMessage (busy); mounts of anything else, and of siblings that were
// mounted, are approved. Surprises seen by the callback are kept as `issue` and raised by
// finish(). It never mounts, unmounts or erases anything itself.
class RescueSiblingMountProtection {
 public:
  // What the callback shares with the pipeline: `lock` guards `issue`, the first problem seen.
  struct Context {
    RescueSiblingMountSnapshot snapshot;
    std::string parentPath;
    std::mutex lock;
    std::optional<std::string> issue;
  };

  // Establishes protection: a session on the private queue, every sibling's description
  // checked against the snapshot, the approval callback registered. Throws
  // RescueDestinationError ("Sibling X changed before mount protection could be
  // established..." or kProtectionNotEstablishedMessage); nothing stays registered then.
  RescueSiblingMountProtection(RescueSiblingMountSnapshot snapshot, platform::DiskArbitration& arbitration);
  // Tears protection down on every path (unregisters, releases the session).
  ~RescueSiblingMountProtection();
  RescueSiblingMountProtection(const RescueSiblingMountProtection&) = delete;
  RescueSiblingMountProtection& operator=(const RescueSiblingMountProtection&) = delete;

  // Unregisters the callback, releases the session, then reads `issue` on the queue, so
  // no callback is still running; a recorded issue is thrown (RescueDestinationError).
  void finish();

  const RescueSiblingMountSnapshot& snapshot() const { return snapshot_; }

 private:
  void tearDown();

  RescueSiblingMountSnapshot snapshot_;
  platform::SerialQueue queue_{kMountApprovalQueueLabel};
  std::unique_ptr<platform::DiskArbitrationSession> session_;
  std::shared_ptr<Context> context_;
};

}  // namespace tidewarden::rescue
