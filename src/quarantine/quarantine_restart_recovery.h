// At start-up, quarantines a previous helper left unfinished are rolled back before any request is served.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/platform.h"

namespace tidewarden::quarantine {

// Folders looked at per start at most.
inline constexpr std::size_t kMaxRecoveredFolders = 4096;

// The helper's one restart recovery of quarantines. A helper killed during a quarantine
// leaves its folder with a manifest still `moving` (or, killed before the first one was
// written, an empty folder); the client never learnt the ID. So at start-up every such
// quarantine is rolled back (rollBackQuarantine): the item is back as if nothing had
// happened, or what could not go back stays listed in a manifest `restore` accepts (and
// is tried again at the next start). Empty folders and manifests whose write was cut short are removed. Folders whose
// manifest cannot be read are left untouched: unknown is never taken as nothing there.
class QuarantineRestartRecovery {
 public:
  explicit QuarantineRestartRecovery(platform::Platform& platform) : platform_(platform) {}

  // Announces the recovery before the listener serves: from now until run() has
  // finished, awaitRecovery() blocks.
  void schedule();
  // Does the recovery (never throws), then lets waiting requests go.
  void run();
  // Returns once no recovery is scheduled or running. Quarantine and restore call it
  // first, so neither meets a folder the recovery is working on.
  void awaitRecovery();

 private:
  void recover();

  platform::Platform& platform_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool pending_ = false;
};

}  // namespace tidewarden::quarantine
