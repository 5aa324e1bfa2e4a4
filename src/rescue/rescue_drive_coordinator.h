// Rescue Drive operations: start, the pipeline's shared state, status and cancel, and the lock local-installer work shares.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "rescue/rescue_media_progress_parser.h"
#include "rescue/rescue_messages.h"

namespace tidewarden::platform {
class ChildProcess;
struct Platform;
}  // namespace tidewarden::platform

namespace tidewarden::rescue {

inline constexpr const char* kLocalInstallerStorageBusyMessage =
    "Local installer storage is being checked or removed. Wait for it to finish, then review the destination again.";
inline constexpr const char* kInitialOperationMessage =
    "Revalidating the installer, exact destination and partition layout\u2026";
inline constexpr const char* kStartAcceptedMessage = "Checking the reviewed destination before erasing anything\u2026";
inline constexpr const char* kOperationNotFoundMessage = "Rescue Drive operation was not found.";
inline constexpr const char* kUnknownOperationError = "Unknown operation.";
// Finished operations kept for status polling beyond the unfinished ones; older ones are forgotten.
inline constexpr std::size_t kKeptFinishedOperations = 16;
inline constexpr const char* kCancellationRequestedMessage =
    "Cancellation requested. Waiting for the current command to stop; any already-erased data cannot be restored.";

// One per process. `lock` guards `operations`, every operation's state and
// `localInstallerWorkRunning`, and is only ever held for moments, so status and cancel
// answer at once whatever else runs. A local-installer operation keeps
// `localInstallerWorkRunning` set for its whole run, so a creation cannot start while an
// installer is being checked or removed, and an installer cannot be removed while a
// creation is recorded as running. The 16 most recently finished operations stay for
// status polling; older ones are then unknown.
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
    std::shared_ptr<platform::ChildProcess> currentProcess;  // the running command, while it runs
    bool cancelRequested = false;
    bool interruptibleProcess = false;  // the running command may be terminated on cancel
    bool destructiveStarted = false;    // an erase has begun
    RescueCreationProgress liveProgress;
    RescueMediaProgressParser outputParser;
    std::uint64_t finishedOrder = 0;  // when it finished, among the finished ones
  };

  // Without a platform the coordinator only keeps the table (the local-installer guard's
  // tests); start() then refuses.
  RescueDriveCoordinator() = default;
  explicit RescueDriveCoordinator(platform::Platform& platform) : platform_(&platform) {}
  ~RescueDriveCoordinator();
  RescueDriveCoordinator(const RescueDriveCoordinator&) = delete;
  RescueDriveCoordinator& operator=(const RescueDriveCoordinator&) = delete;

  // Accepts the approval, refuses while local-installer work runs or another operation
  // is unfinished, records the new
  // operation and starts its pipeline on the background queue. Never throws: every
  // refusal is an `accepted` false reply.
  RescueDriveStartResponse start(const RescueDriveStartRequest& request);
  // A consistent snapshot of the operation, or the not-found reply.
  RescueDriveStatusResponse status(const std::string& operationID);
  // Flags an unfinished operation as cancelled and terminates its interruptible command;
  // answers its status as it now stands.
  RescueDriveStatusResponse cancel(const std::string& operationID);

  // With `lock` held: marks the operation finished and forgets the finished operations
  // beyond the kKeptFinishedOperations most recent.
  void finishLocked(const std::string& operationID);

  std::mutex lock;
  std::map<std::string, OperationState> operations;
  bool localInstallerWorkRunning = false;

 private:
  RescueDriveStatusResponse statusLocked(const std::string& operationID);

  platform::Platform* platform_ = nullptr;
  std::mutex pipelinesMutex_;
  int runningPipelines_ = 0;
  std::uint64_t finishedCount_ = 0;
  std::condition_variable pipelinesDone_;
};

}  // namespace tidewarden::rescue
