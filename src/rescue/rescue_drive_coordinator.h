// Rescue Drive operations table and the lock that local-installer work shares with it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {

// One per process. `lock` guards `operations` and every operation's state; a
// local-installer operation holds it for its whole run, so a creation cannot start while
// an installer is being checked or removed, and an installer cannot be removed while a
// creation is recorded as running. Finished operations stay for status polling.
class RescueDriveCoordinator {
 public:
  // The shared state of one creation, read by status and flagged by cancel.
  struct OperationState {
    RescueDrivePhase phase = RescueDrivePhase::preparing;
    std::int32_t progressPercent = 0;
    std::string message;
    bool finished = false;
    bool success = false;
    std::optional<std::string> errorMessage;
    bool cancelRequested = false;
    bool interruptibleProcess = false;  // the running command may be terminated on cancel
    bool destructiveStarted = false;    // an erase has begun
    RescueCreationProgress liveProgress;
  };

  std::mutex lock;
  std::map<std::string, OperationState> operations;
};

}  // namespace tidewarden::rescue
