// Rescue Drive start, status and cancel: the operations table under the coordinator's lock.
#include "rescue/rescue_drive_coordinator.h"

#include <signal.h>

#include <algorithm>
#include <exception>
#include <vector>

#include "platform/clock.h"
#include "platform/global_queue.h"
#include "platform/platform.h"
#include "platform/process_launcher.h"
#include "platform/uuid.h"
#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_drive_error.h"
#include "rescue/rescue_drive_pipeline.h"

namespace tidewarden::rescue {

RescueDriveCoordinator::~RescueDriveCoordinator() {
  // Only a simulator or a test destroys the coordinator: stop what still runs, then wait.
  {
    std::lock_guard guard(lock);
    for (auto& [id, state] : operations) {
      if (state.finished) continue;
      state.cancelRequested = true;
      if (state.currentProcess) state.currentProcess->signal(SIGTERM);
    }
  }
  std::unique_lock guard(pipelinesMutex_);
  pipelinesDone_.wait(guard, [this] { return runningPipelines_ == 0; });
}

RescueDriveStartResponse RescueDriveCoordinator::start(const RescueDriveStartRequest& request) {
  RescueDriveStartResponse response;
  try {
    acceptStartRequest(request);
  } catch (const std::exception& error) {
    response.message = error.what();
    return response;
  }
  std::unique_lock guard(lock);
  if (localInstallerWorkRunning) {
    response.message = kLocalInstallerStorageBusyMessage;
    return response;
  }
  for (const auto& [id, state] : operations) {
    if (!state.finished) {
      response.message = RescueDriveError::anotherOperationRunning().what();
      return response;
    }
  }
  if (platform_ == nullptr) {
    response.message = "Rescue Drive creation is not available in this helper.";
    return response;
  }
  // A tool of the helper's previous life that may still write to a disk stops every creation.
  if (const std::optional<std::string> doubt = platform_->launcher.toolsOfPreviousLifeInDoubt()) {
    response.message = *doubt;
    return response;
  }
  const std::string id = platform::makeUuidString();
  const platform::json::Date now{platform_->clock.now()};
  OperationState& state = operations[id];
  state.message = kInitialOperationMessage;
  state.liveProgress.step = "checking";
  state.liveProgress.startedAt = now;
  state.liveProgress.stepStartedAt = now;
  state.liveProgress.sampledAt = now;
  {
    std::lock_guard running(pipelinesMutex_);
    ++runningPipelines_;
  }
  platform::GlobalQueue::background().async([this, id, request] {
    runRescueDrivePipeline(*this, *platform_, id, request);
    std::lock_guard running(pipelinesMutex_);
    --runningPipelines_;
    pipelinesDone_.notify_all();
  });
  response.accepted = true;
  response.operationID = id;
  response.message = kStartAcceptedMessage;
  return response;
}

void RescueDriveCoordinator::finishLocked(const std::string& operationID) {
  OperationState& state = operations.at(operationID);
  state.finished = true;
  state.finishedOrder = ++finishedCount_;
  std::vector<std::uint64_t> orders;
  for (const auto& [id, kept] : operations) {
    if (kept.finished) orders.push_back(kept.finishedOrder);
  }
  if (orders.size() <= kKeptFinishedOperations) return;
  std::nth_element(orders.begin(), orders.end() - kKeptFinishedOperations, orders.end());
  const std::uint64_t oldestKept = *(orders.end() - kKeptFinishedOperations);
  std::erase_if(operations, [&](const auto& entry) {
    return entry.second.finished && entry.second.finishedOrder < oldestKept;
  });
}

RescueDriveStatusResponse RescueDriveCoordinator::statusLocked(const std::string& operationID) {
  RescueDriveStatusResponse response;
  response.operationID = operationID;
  const auto found = operations.find(operationID);
  if (found == operations.end()) {
    response.phase = RescueDrivePhase::failed;
    response.message = kOperationNotFoundMessage;
    response.finished = true;
    response.errorMessage = kUnknownOperationError;
    return response;
  }
  const OperationState& state = found->second;
  response.phase = state.phase;
  response.progressPercent = state.progressPercent;
  response.message = state.message;
  response.finished = state.finished;
  response.success = state.success;
  response.errorMessage = state.errorMessage;
  RescueCreationProgress progress = state.liveProgress;
  if (platform_ != nullptr) progress.sampledAt = platform::json::Date{platform_->clock.now()};
  if (!state.finished && state.currentProcess) progress.commandRunning = !state.currentProcess->tryWait().has_value();
  response.liveProgress = progress;
  return response;
}

RescueDriveStatusResponse RescueDriveCoordinator::status(const std::string& operationID) {
  std::lock_guard guard(lock);
  return statusLocked(operationID);
}

RescueDriveStatusResponse RescueDriveCoordinator::cancel(const std::string& operationID) {
  std::lock_guard guard(lock);
  const auto found = operations.find(operationID);
  if (found != operations.end() && !found->second.finished) {
    OperationState& state = found->second;
    state.cancelRequested = true;
    state.message = kCancellationRequestedMessage;
    if (state.interruptibleProcess && state.currentProcess && !state.currentProcess->tryWait()) {
      state.currentProcess->signal(SIGTERM);
    }
  }
  return statusLocked(operationID);
}

}  // namespace tidewarden::rescue
