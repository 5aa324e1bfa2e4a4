// The one owner of fan state: requests (inspect, apply, renew, restore), their replies and the status snapshot.
#include "fan/fan_control_coordinator.h"

#include <chrono>
#include <cmath>
#include <exception>

#include "fan/auto_max_threshold.h"
#include "fan/fan_boost_floors.h"
#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_target_validation.h"
#include "fan/fan_write_verification.h"
#include "platform/clock.h"
#include "platform/dispatch_queue.h"
#include "platform/process_facts.h"
#include "platform/repeating_timer.h"
#include "platform/uuid.h"

namespace tidewarden::fan {
namespace {

constexpr const char* kNotReplaced = "New request rejected before any fan write. The existing session was not replaced.";
constexpr const char* kOverrideStopped =
    "Override stopped. Automatic-mode readback verified for the fans touched by Tidewarden.";

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

class RepeatingControlTimer final : public ControlTimer {
 public:
  RepeatingControlTimer(platform::SerialQueue& queue, std::function<void()> tick)
      : timer_(queue, std::chrono::seconds(1), std::chrono::milliseconds(100), std::move(tick)) {
    timer_.resume();
  }

 private:
  platform::RepeatingTimer timer_;
};

}  // namespace

FanControlCoordinator::FanControlCoordinator(platform::Platform& platform, platform::SerialQueue& queue,
                                             ControlTimerFactory makeTimer)
    : platform_(platform), queue_(queue), makeTimer_(std::move(makeTimer)), store_(platform.root) {
  powerLink_->owner = this;
  if (!makeTimer_) {
    makeTimer_ = [&queue](std::function<void()> tick) -> std::unique_ptr<ControlTimer> {
      return std::make_unique<RepeatingControlTimer>(queue, std::move(tick));
    };
  }
}

FanControlCoordinator::~FanControlCoordinator() {
  {
    std::lock_guard lock(powerLink_->mutex);
    powerLink_->owner = nullptr;
  }
  // Cancelled on the queue, so no tick can run once this returns.
  queue_.sync([this] { timer_.reset(); });
}

void FanControlCoordinator::handleFanControl(FanControlRequest request, std::function<void(FanControlReply)> reply) {
  queue_.async([this, request = std::move(request), reply = std::move(reply)] { reply(perform(request)); });
}

// ---------------------------------------------------------------------------------------------
// Requests

FanControlReply FanControlCoordinator::perform(const FanControlRequest& request) {
  bool mayHaveWritten = false;
  retryRecoveryRecordDeletion();
  try {
    switch (request.action) {
      case FanControlRequest::Action::inspect:
        if (!restorationPending_) {
          acquireTransport();
          captureMetadata();
        }
        break;
      case FanControlRequest::Action::apply:
        apply(request, mayHaveWritten);
        break;
      case FanControlRequest::Action::renew:
        renew(request, mayHaveWritten);
        break;
      case FanControlRequest::Action::restore:
        restoreSystem("System control restored by the user.");
        break;
    }
    return successReply(request);
  } catch (const std::exception& error) {
    return failureReply(request, error.what(), mayHaveWritten);
  }
}

void FanControlCoordinator::apply(const FanControlRequest& request, bool& mayHaveWritten) {
  if (smc_) smc_->clearWriteEvents();
  droppedEvents_.clear();
  if (restorationPending_) refuse("System restoration has not been verified; no new override is allowed.");
  if (recoveryBlocked_) refuse(lastMessage_);
  if (!request.acknowledged || request.mode == FanControlMode::system) {
    refuse("Explicit fan-control acknowledgment is required.");
  }
  const std::vector<FanControlFan> fans = acquireTransport().readFanInventory();
  if (!isValidFanInventory(fans)) refuse("No supported controllable fans were found.");
  if (lease_) {
    if (!request.sessionID || *request.sessionID != lease_->id) {
      refuse("Another fan session is active. Restore System before starting another one.");
    }
  } else {
    for (const FanControlFan& fan : fans) {
      if (fan.manual) {
        refuse(
            "Manual fan state was detected before this Tidewarden session; its source is unknown. New targets were "
            "not applied. Establish a verified System state before trying again.");
      }
    }
  }
  const auto floors = computeBoostFloors(lease_ ? lease_->original : fans);
  const auto targets = validateRequestedTargets(request.mode, request.targets, fans, floors);
  validateAutoMaxThreshold(request.thresholdCelsius);
  installSleepProtection();

  mayHaveWritten = true;
  if (!lease_) {
    const double now = platform_.clock.uptime();
    Lease lease;
    lease.id = platform::makeUuidString();
    lease.started = now;
    lease.heartbeat = now;
    lease.original = fans;
    lease.mode = request.mode;
    lease.targets = targets;
    lease.source = request.thermalSource;
    lease.threshold = request.thresholdCelsius;
    lease_ = std::move(lease);
    startControlTimer();
    runControlStep();
  } else {
    updateActiveSession(request, targets);
  }
  if (!lease_ || restorationPending_) refuse(lastMessage_);
}

void FanControlCoordinator::updateActiveSession(const FanControlRequest& request,
                                                const std::map<std::int32_t, double>& targets) {
  const double now = platform_.clock.uptime();
  if (!leaseAlive(*lease_, now)) refuse("The fan session expired; it cannot be renewed by changing a target.");
  auto replaceLease = [&] {
    lease_->mode = request.mode;
    lease_->targets = targets;
    lease_->source = request.thermalSource;
    lease_->threshold = request.thresholdCelsius;
  };
  if (!lease_->boosted) {
    replaceLease();
    runControlStep();
    return;
  }
  if (request.mode == FanControlMode::autoMax) {
    const std::optional<double> temperature = autoMaxTemperature(request.thermalSource);
    if (!temperature) refuse("Auto Max temperature is unavailable.");
    decideAutoMaxBoost(*temperature, request.thresholdCelsius, true);
    if (*temperature <= request.thresholdCelsius - kAutoMaxHysteresisCelsius) {
      // Below the band: the step arms Auto Max and releases the touched fans.
      replaceLease();
      runControlStep();
      return;
    }
  }
  checkCompletedAcquisition();  // the old targets still hold
  // The recovery record names the new expected targets before any of them is written.
  writeRecoveryRecord(lease_->touchedFanIDs, targets);
  lease_->journalRefreshedUptime = platform_.clock.uptime();
  FanWriteVerifier verifier(*smc_, platform_.clock);
  for (const FanControlFan& fan : lease_->original) {
    const auto oldTarget = lease_->targets.find(fan.id);
    const auto newTarget = targets.find(fan.id);
    if (oldTarget == lease_->targets.end() || newTarget == targets.end()) {
      refuse("Fan target identity changed during an update.");
    }
    if (std::fabs(newTarget->second - oldTarget->second) > kHoldToleranceRPM) {
      verifier.writeFanTarget(newTarget->second, fan.id);
    }
  }
  replaceLease();
  checkCompletedAcquisition();  // every fan holds the new targets
  lastMessage_ = std::string(displayName(request.mode)) +
                 " targets updated and verified without returning to System. Measured RPM may take time to settle.";
}

void FanControlCoordinator::renew(const FanControlRequest& request, bool& mayHaveWritten) {
  if (!lease_ || !request.sessionID || *request.sessionID != lease_->id) {
    refuse("The fan session ended. System control must be reviewed before another override.");
  }
  mayHaveWritten = true;
  const double now = platform_.clock.uptime();
  if (!leaseAlive(*lease_, now)) {
    refuse(
        "The previous fan lease expired. Restore System and explicitly start a new session; a late heartbeat cannot "
        "revive it.");
  }
  lease_->heartbeat = now;
  runControlStep();
}

FanControlReply FanControlCoordinator::successReply(const FanControlRequest& request) {
  if (request.action == FanControlRequest::Action::apply) lastAttemptReport_ = buildAttemptReport(request, lastMessage_);
  FanControlReply reply;
  reply.accepted = true;
  try {
    reply.status = buildStatus();
  } catch (const std::exception&) {
  }
  reply.message = lastMessage_;
  reply.diagnostics = reply.status ? reply.status->diagnostics : buildFanReport({});
  return reply;
}

FanControlReply FanControlCoordinator::failureReply(const FanControlRequest& request, const std::string& description,
                                                    bool mayHaveWritten) {
  const bool leaseRequest =
      request.action == FanControlRequest::Action::apply || request.action == FanControlRequest::Action::renew;
  if (leaseRequest) {
    if (!mayHaveWritten) {
      if (lease_) lastMessage_ = kNotReplaced;
    } else if (lease_) {
      // Without a lease the step has already returned the fans and said why.
      try {
        restoreSystem(kOverrideStopped);
      } catch (const std::exception& error) {
        lastMessage_ = std::string("Fan override failed and System restoration could not be verified: ") + error.what();
      }
    }
    if (!restorationPending_ && smc_) {
      try {
        captureMetadata();
      } catch (const std::exception&) {
      }
    }
    lastAttemptReport_ = buildAttemptReport(request, description + " " + lastMessage_);
  }
  FanControlReply reply;
  reply.accepted = false;
  reply.message = description == lastMessage_ ? description : description + " " + lastMessage_;
  try {
    reply.status = buildStatus();
  } catch (const std::exception&) {
  }
  reply.diagnostics = reply.status ? reply.status->diagnostics : buildFanReport({});
  return reply;
}

// ---------------------------------------------------------------------------------------------
// Transport and status

FanSMCTransport& FanControlCoordinator::acquireTransport() {
  if (!smc_) {
    chip_ = platform_.processFacts.cpuBrand();
    modelIdentifier_ = platform_.processFacts.modelIdentifier();
    smc_ = std::make_unique<FanSMCTransport>(platform_.smc);
    droppedEvents_.clear();
  }
  return *smc_;
}

FanControlStatus FanControlCoordinator::buildStatus() {
  FanControlStatus status;
  status.checkedAt = platform::json::Date{platform_.clock.now()};
  status.fans = acquireTransport().readFanInventory();
  status.mode = lease_ ? lease_->mode : FanControlMode::system;
  if (lease_) status.sessionID = lease_->id;
  status.supported = !recoveryBlocked_ && !restorationPending_ && isValidFanInventory(status.fans);
  status.message = lastMessage_;
  status.cpuTemperature = cpuTemperature();
  status.gpuTemperature = gpuTemperature();
  status.boostFloors = computeBoostFloors(lease_ ? lease_->original : status.fans);
  status.restorationPending = restorationPending_;
  status.diagnostics = buildFanReport(status.fans);
  return status;
}

}  // namespace tidewarden::fan
