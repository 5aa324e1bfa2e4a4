// The one owner of fan state: sessions under a renewable lease, the per-second control step, restoration to System.
#include "fan/fan_control_coordinator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <exception>

#include "fan/auto_max_threshold.h"
#include "fan/fan_boost_floors.h"
#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_target_validation.h"
#include "fan/fan_text.h"
#include "fan/fan_write_verification.h"
#include "platform/clock.h"
#include "platform/dispatch_queue.h"
#include "platform/process_facts.h"
#include "platform/repeating_timer.h"
#include "platform/system_power.h"
#include "platform/uuid.h"

namespace tidewarden::fan {
namespace {

constexpr double kPlausibleCelsiusMaximum = 140;
constexpr std::size_t kFanReportCharacters = 40000;
constexpr std::size_t kAttemptReportCharacters = 20000;
constexpr std::size_t kAttemptReportDraftTargets = 8;

constexpr const char* kNotReplaced = "New request rejected before any fan write. The existing session was not replaced.";
constexpr const char* kOverrideStopped =
    "Override stopped. Automatic-mode readback verified for the fans touched by Tidewarden.";
constexpr const char* kLayoutChanged = "Fan layout or limits changed during control.";
constexpr const char* kCompletedCheckFailed =
    "Fan mode, target or layout changed before the completed acquisition check. Tidewarden will return its touched "
    "fans to System without retrying targets.";

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

// "2025-03-01T12:00:00Z" for a date in seconds since 2001.
std::string isoDate(double secondsSinceReferenceDate) {
  const double unix = std::floor(secondsSinceReferenceDate + platform::kReferenceDateOffset);
  if (!std::isfinite(unix)) return "unknown";
  const std::time_t seconds = static_cast<std::time_t>(unix);
  std::tm parts{};
  char text[32] = {};
  if (!gmtime_r(&seconds, &parts) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "unknown";
  }
  return text;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

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

bool decideAutoMaxBoost(double temperature, double threshold, bool currentlyBoosted) {
  if (!std::isfinite(temperature) || !(temperature > 0) || !(temperature < kPlausibleCelsiusMaximum) ||
      !std::isfinite(threshold) || threshold < kAutoMaxThresholdMinimum || threshold > kAutoMaxThresholdMaximum) {
    refuse("Auto Max requires a supported fresh temperature and a 60–90°C threshold.");
  }
  const double limit = currentlyBoosted ? threshold - kAutoMaxHysteresisCelsius : threshold;
  return temperature > limit;
}

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
    } else {
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
// The control step

bool FanControlCoordinator::leaseAlive(const Lease& lease, double now) const {
  return lease.heartbeat <= now && now - lease.heartbeat < kHeartbeatLimitSeconds && lease.started <= now;
}

void FanControlCoordinator::startControlTimer() {
  if (timer_) return;
  timer_ = makeTimer_([this] { controlTick(); });
}

void FanControlCoordinator::installSleepProtection() {
  if (sleepProtectionInstalled_) return;
  platform::SerialQueue* queue = &queue_;
  platform::SystemPower* power = &platform_.power;
  const bool registered = power->registerForSystemPower(
      [link = powerLink_, queue, power](std::uint32_t messageType, std::intptr_t notificationID) {
        if (messageType == platform::kCanSystemSleep) {
          power->allowPowerChange(notificationID);  // sleep is never vetoed
          return;
        }
        if (messageType != platform::kSystemWillSleep) return;
        std::lock_guard lock(link->mutex);
        if (!link->owner) return;
        FanControlCoordinator* coordinator = link->owner;
        // Work queued before the coordinator goes still runs: its destructor waits on the queue.
        queue->async([coordinator, power, notificationID] {
          try {
            coordinator->restoreSystem("System control restored before sleep.");
          } catch (const std::exception&) {
            // restorationPending stays set; the next step tries again.
          }
          power->allowPowerChange(notificationID);
        });
      });
  if (!registered) refuse("Sleep protection could not be installed. Fan overrides remain disabled.");
  sleepProtectionInstalled_ = true;
}

bool FanControlCoordinator::thermalPressure() {
  const platform::ThermalState state = platform_.power.thermalState();
  return state == platform::ThermalState::serious || state == platform::ThermalState::critical;
}

void FanControlCoordinator::controlTick() {
  try {
    runControlStep();
  } catch (const std::exception& failure) {
    try {
      restoreSystem(std::string("Safety return to System: ") + failure.what());
    } catch (const std::exception& restoration) {
      lastMessage_ = std::string("System restoration needs attention: ") + restoration.what();
    }
  }
}

void FanControlCoordinator::requireSameLayout(const std::vector<FanControlFan>& fans,
                                              const std::string& message) const {
  if (fans.size() != lease_->original.size()) refuse(message);
  for (const FanControlFan& fan : fans) {
    bool found = false;
    for (const FanControlFan& original : lease_->original) {
      found = found || (original.id == fan.id && original.minimumRPM == fan.minimumRPM &&
                        original.maximumRPM == fan.maximumRPM);
    }
    if (!found) refuse(message);
  }
}

std::optional<double> FanControlCoordinator::cpuTemperature() {
  const TemperatureKeys keys = FanSMCTransport::temperatureKeys(chip_);
  return keys.cpu.empty() ? std::nullopt : acquireTransport().readTemperature(keys.cpu);
}

std::optional<double> FanControlCoordinator::gpuTemperature() {
  const TemperatureKeys keys = FanSMCTransport::temperatureKeys(chip_);
  return keys.gpu.empty() ? std::nullopt : acquireTransport().readTemperature(keys.gpu);
}

std::optional<double> FanControlCoordinator::autoMaxTemperature(FanThermalSource source) {
  const std::optional<double> cpu = cpuTemperature();
  const std::optional<double> gpu = gpuTemperature();
  switch (source) {
    case FanThermalSource::cpu:
      return cpu;
    case FanThermalSource::gpu:
      return gpu;
    case FanThermalSource::either:
      if (cpu && gpu) return std::max(*cpu, *gpu);
      return cpu ? cpu : gpu;
  }
  return std::nullopt;
}

void FanControlCoordinator::runControlStep() {
  if (restorationPending_) {
    restoreSystem("Pending safety restoration returned fans to System.");
    return;
  }
  if (!lease_) return;
  const double now = platform_.clock.uptime();
  if (!leaseAlive(*lease_, now)) {
    restoreSystem("Fan session expired or the app stopped responding. System control restored.");
    return;
  }
  const std::vector<FanControlFan> fans = acquireTransport().readFanInventory();
  requireSameLayout(fans, kLayoutChanged);
  if (thermalPressure()) {
    restoreSystem("macOS reported elevated thermal pressure. Control returned to System.");
    return;
  }
  const std::optional<double> cpu = cpuTemperature();
  const std::optional<double> gpu = gpuTemperature();
  if (lease_->mode == FanControlMode::manual) {
    if (!cpu) refuse("Manual boost requires a supported, current CPU temperature for its software guard.");
    if (*cpu > kManualBoostGuardCelsius || (gpu && *gpu > kManualBoostGuardCelsius)) {
      restoreSystem("Manual boost stopped at the conservative software temperature guard. System control restored.");
      return;
    }
  }
  if (lease_->mode == FanControlMode::autoMax) {
    std::optional<double> temperature;
    switch (lease_->source) {
      case FanThermalSource::cpu:
        temperature = cpu;
        break;
      case FanThermalSource::gpu:
        temperature = gpu;
        break;
      case FanThermalSource::either:
        temperature = cpu && gpu ? std::max(*cpu, *gpu) : (cpu ? cpu : gpu);
        break;
    }
    if (!temperature) refuse("Auto Max's temperature is unavailable. A missing reading cannot hold a manual override.");
    if (!decideAutoMaxBoost(*temperature, lease_->threshold, lease_->boosted)) {
      if (!lease_->boosted) {
        for (const FanControlFan& fan : fans) {
          if (fan.manual) refuse("An external controller took manual fan control.");
        }
      } else {
        FanWriteVerifier verifier(*smc_, platform_.clock);
        for (std::int32_t id : std::set<std::int32_t>(lease_->touchedFanIDs)) {
          verifier.writeFanMode(/*acquire=*/false, id, /*touched=*/true);
        }
        store_.clear();
      }
      lease_->boosted = false;
      lease_->touched = false;
      lease_->touchedFanIDs.clear();
      lastMessage_ = "Auto Max armed; System controls the fans below the trigger temperature.";
      return;
    }
  }
  bool acquired = false;
  for (const FanControlFan& fan : fans) {
    const auto target = lease_->targets.find(fan.id);
    if (target == lease_->targets.end()) refuse("Missing fan target.");
    if (!lease_->boosted) {
      if (fan.manual) {
        refuse(
            "A fan entered manual mode before this acquisition. Its source is unknown; no new write to that fan was "
            "attempted.");
      }
      acquireFan(fan.id, target->second);
      acquired = true;
    } else if (!fan.manual || !(std::fabs(fan.targetRPM - target->second) <= kHoldToleranceRPM)) {
      refuse(
          "The controller changed the requested fan mode or target. Tidewarden will not fight another controller or "
          "disable thermal protection.");
    }
  }
  if (acquired) checkCompletedAcquisition();
  if (now - lease_->journalRefreshedUptime >= kRecoveryRecordRefreshSeconds) {
    writeRecoveryRecord(lease_->touchedFanIDs, lease_->targets);
    lease_->journalRefreshedUptime = now;
  }
  lease_->boosted = true;
  lastMessage_ = lease_->mode == FanControlMode::autoMax
                     ? "Auto Max is boosting the detected fans. System resumes below the threshold's 5°C hysteresis band."
                     : std::string(displayName(lease_->mode)) +
                           " target readback verified. Actual RPM may take time to settle; this is not a "
                           "cooling-performance certification.";
}

void FanControlCoordinator::acquireFan(std::int32_t id, double target) {
  FanWriteVerifier verifier(*smc_, platform_.clock);
  verifier.writeFanMode(/*acquire=*/true, id, /*touched=*/false, [&] { commitJournalBeforeModeWrite(id); });
  verifier.writeFanTarget(target, id);
}

void FanControlCoordinator::commitJournalBeforeModeWrite(std::int32_t id) {
  std::set<std::int32_t> touched = lease_->touchedFanIDs;
  touched.insert(id);
  writeRecoveryRecord(touched, lease_->targets);
  lease_->journalRefreshedUptime = platform_.clock.uptime();
  lease_->touched = true;
  lease_->touchedFanIDs = std::move(touched);
}

std::string FanControlCoordinator::deviceIdentifier() {
  std::optional<std::string> device = platform_.processFacts.deviceIdentifier();
  if (!device || device->empty()) {
    refuse("This Mac's identifier could not be read, so fan recovery cannot be recorded or trusted.");
  }
  return *device;
}

void FanControlCoordinator::writeRecoveryRecord(const std::set<std::int32_t>& touched,
                                                const std::map<std::int32_t, double>& targets) {
  FanRecoveryRecord record;
  record.deviceID = deviceIdentifier();
  record.createdAt = platform::json::Date{platform_.clock.now()};
  for (std::int32_t id : touched) {
    if (const auto target = targets.find(id); target != targets.end()) record.expected[id] = target->second;
  }
  for (const FanControlFan& fan : lease_->original) {
    if (touched.contains(fan.id)) record.previous[fan.id] = fan.targetRPM;
  }
  record.modeFenceFanIDs = std::vector<std::int32_t>(touched.begin(), touched.end());
  store_.write(record);
}

void FanControlCoordinator::recoverAfterRestart() {
  try {
    const std::optional<FanRecoveryRecord> record = store_.read();
    if (!record) return;
    const double age = platform_.clock.now() - record->createdAt.secondsSinceReferenceDate;
    if (record->deviceID != deviceIdentifier() || !(age >= 0) || age >= kRecoveryRecordMaxAgeSeconds ||
        record->expected.empty() || record->expected.size() > kMaxFanCount) {
      refuse("An older or changed fan recovery record needs review; new overrides are disabled.");
    }
    const std::vector<std::int32_t> fence = record->modeFenceFanIDs.value_or(std::vector<std::int32_t>{});
    const std::set<std::int32_t> fenceSet(fence.begin(), fence.end());
    for (std::int32_t id : fence) {
      if (fenceSet.size() != fence.size() || !record->expected.contains(id) || id < 0 || id > 7) {
        refuse("Fan recovery cancellation scope is invalid; no mode was changed.");
      }
    }
    FanSMCTransport smc(platform_.smc);
    const std::vector<FanControlFan> fans = smc.readFanInventory();
    std::map<std::int32_t, FanControlFan> byID;
    for (const FanControlFan& fan : fans) byID[fan.id] = fan;
    for (const auto& [id, expected] : record->expected) {
      const auto fan = byID.find(id);
      if (fan == byID.end()) refuse("Fan layout changed during recovery.");
      if (!fan->second.manual) continue;
      const auto previous = record->previous.find(id);
      const bool asExpected = std::fabs(fan->second.targetRPM - expected) <= kHoldToleranceRPM;
      const bool asBefore = previous != record->previous.end() &&
                            std::fabs(fan->second.targetRPM - previous->second) <= kHoldToleranceRPM;
      if (!asExpected && !asBefore) {
        refuse(
            "Fan state no longer matches Tidewarden's recorded override. Another controller may be active; automatic "
            "recovery was not forced.");
      }
    }
    FanWriteVerifier verifier(smc, platform_.clock);
    for (const auto& [id, expected] : record->expected) {
      const bool fenced = fenceSet.contains(id);
      if (byID.at(id).manual || fenced) verifier.writeFanMode(/*acquire=*/false, id, fenced);
    }
    store_.clear();
    lastMessage_ = "Previous Tidewarden fan override returned to System after helper restart.";
  } catch (const std::exception& error) {
    recoveryBlocked_ = true;
    lastMessage_ = error.what();
  }
}

void FanControlCoordinator::checkCompletedAcquisition() {
  const std::vector<FanControlFan> fans = acquireTransport().readFanInventory();
  requireSameLayout(fans, kCompletedCheckFailed);
  if (lease_->targets.size() != fans.size()) refuse(kCompletedCheckFailed);
  for (const FanControlFan& fan : fans) {
    if (!lease_->targets.contains(fan.id)) refuse(kCompletedCheckFailed);
  }
  const double now = platform_.clock.uptime();
  if (!(now - lease_->heartbeat >= 0 && now - lease_->heartbeat <= kHeartbeatLimitSeconds)) {
    refuse("Fan session expired while target readback was being checked. System restoration is required.");
  }
  if (thermalPressure()) {
    refuse("macOS reported elevated thermal pressure during fan acquisition. System restoration is required.");
  }
  if (lease_->mode == FanControlMode::manual) {
    const std::optional<double> cpu = cpuTemperature();
    const std::optional<double> gpu = gpuTemperature();
    if (!cpu || *cpu > kManualBoostGuardCelsius || (gpu && *gpu > kManualBoostGuardCelsius)) {
      refuse(
          "Manual boost temperature guard could not be satisfied after target observation. System restoration is "
          "required.");
    }
  }
  for (const FanControlFan& fan : fans) {
    if (!fan.manual || !(std::fabs(fan.targetRPM - lease_->targets.at(fan.id)) <= kHoldToleranceRPM)) {
      refuse(kCompletedCheckFailed);
    }
  }
}

void FanControlCoordinator::restoreSystem(const std::string& message) {
  if (!lease_) {
    if (recoveryBlocked_) refuse(lastMessage_);
    lastMessage_ =
        "No Tidewarden fan override is active. No mode write was requested; the reported fan state does not identify "
        "its owner.";
    return;
  }
  restorationPending_ = true;
  std::vector<std::string> failures;
  if (lease_->touched) {
    FanSMCTransport* smc = nullptr;
    try {
      smc = &acquireTransport();
    } catch (const std::exception&) {
      failures.push_back("AppleSMC is unavailable.");
    }
    if (smc) {
      FanWriteVerifier verifier(*smc, platform_.clock);
      for (const FanControlFan& fan : lease_->original) {
        if (!lease_->touchedFanIDs.contains(fan.id)) continue;
        try {
          verifier.writeFanMode(/*acquire=*/false, fan.id, /*touched=*/true);
        } catch (const std::exception& error) {
          failures.push_back(error.what());
        }
      }
    }
  }
  if (!failures.empty()) {
    std::string text;
    for (const std::string& failure : failures) text += (text.empty() ? "" : " ") + failure;
    refuse(text);
  }
  store_.clear();
  lease_.reset();
  restorationPending_ = false;
  timer_.reset();
  if (smc_) droppedEvents_ = smc_->writeEvents();
  smc_.reset();
  lastMessage_ = message;
}

// ---------------------------------------------------------------------------------------------
// Transport, status and report

FanSMCTransport& FanControlCoordinator::acquireTransport() {
  if (!smc_) {
    chip_ = platform_.processFacts.cpuBrand();
    modelIdentifier_ = platform_.processFacts.modelIdentifier();
    smc_ = std::make_unique<FanSMCTransport>(platform_.smc);
    droppedEvents_.clear();
  }
  return *smc_;
}

void FanControlCoordinator::captureMetadata() {
  std::vector<std::string> lines{"Read-only controller metadata captured: " + isoDate(platform_.clock.now())};
  for (std::string& line : acquireTransport().captureInterfaceMetadata()) lines.push_back(std::move(line));
  lastInterfaceMetadata_ = std::move(lines);
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

std::vector<std::string> FanControlCoordinator::eventsForReport() const {
  const std::deque<std::string>& events = smc_ ? smc_->writeEvents() : droppedEvents_;
  return {events.begin(), events.end()};
}

std::string FanControlCoordinator::buildFanReport(const std::vector<FanControlFan>& fans) {
  std::vector<std::string> lines{
      "Tidewarden fan-control report — V4.7.7 / fan-control-lease-v5-free-repair1",
      "Read-only report generated: " + isoDate(platform_.clock.now()),
      "Model: " + modelIdentifier_ + "; chip: " + chip_,
      "OS: " + platform_.processFacts.osVersion(),
      "Interface: per-fan F#Md (ui8), F#Tg (reported flt/fpe2); no alternative key protocol",
      "Active-session updates: retain manual mode and original lease; validate old targets -> write changed targets "
      "-> verify all fans. Invalid drafts do not deliberately release control.",
      "Mode sequence: verify automatic -> single mode write -> bounded mode observation -> single target write -> "
      "bounded target/mode observation -> all-fan readback",
      "Observation budget: each mode or target stage at most 1 second / 21 samples, 50 ms intervals; target samples "
      "bracket a target read with manual-mode reads and require 3 consecutive matches spanning 100 ms. Stage budgets "
      "accumulate; synchronous IOKit calls are not interruptible. System cancellation requires repeated automatic "
      "readings.",
      "Helper execution: UID=" + std::to_string(platform_.processFacts.realUserId()) +
          ", EUID=" + std::to_string(platform_.processFacts.effectiveUserId()) +
          ". Key attributes below are raw metadata, not proof of write support.",
      std::string("Restoration pending: ") + (restorationPending_ ? "true" : "false") +
          "; recovery blocked: " + (recoveryBlocked_ ? "true" : "false"),
      "Current readable fan snapshot (actual RPM is not the target register):",
  };
  for (const FanControlFan& fan : fans) {
    lines.push_back("Fan " + std::to_string(fan.id + 1) + " [F" + std::to_string(fan.id) +
                    "]: actual=" + formatDefaultDecimal(fan.actualRPM) +
                    ", target=" + formatDefaultDecimal(fan.targetRPM) + ", min=" + formatDefaultDecimal(fan.minimumRPM) +
                    ", max=" + formatDefaultDecimal(fan.maximumRPM) + " RPM; manual=" + (fan.manual ? "true" : "false"));
  }
  lines.push_back(lastAttemptReport_.value_or(
      "No new override attempt has been recorded by this helper session. Inspection has not tested a write."));
  for (const std::string& line : lastInterfaceMetadata_) lines.push_back(line);
  return prefixCharacters(joinLines(lines), kFanReportCharacters);
}

std::string FanControlCoordinator::buildAttemptReport(const FanControlRequest& request, const std::string& outcome) {
  std::string drafts;
  std::size_t count = 0;
  for (const auto& [id, rpm] : request.targets) {
    if (count++ == kAttemptReportDraftTargets) break;
    drafts += (drafts.empty() ? "" : "; ") + ("Fan " + std::to_string(static_cast<std::int64_t>(id) + 1) + ": " +
                                              formatDefaultDecimal(rpm) + " RPM");
  }
  std::vector<std::string> lines{
      "Latest explicit apply/failed heartbeat: " + isoDate(platform_.clock.now()),
      "Action: " + std::string(platform::json::rawValue(request.action)) +
          "; requested mode: " + std::string(platform::json::rawValue(request.mode)),
      "Draft targets (Max/Auto Max use detected maxima instead): " + drafts,
      "Outcome: " + outcome,
  };
  for (std::string& event : eventsForReport()) lines.push_back(std::move(event));
  return prefixCharacters(joinLines(lines), kAttemptReportCharacters);
}

}  // namespace tidewarden::fan
