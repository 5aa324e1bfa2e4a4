// The per-second control step: heartbeat, layout, thermal pressure, temperature guards, Auto Max and the hold.
#include "fan/fan_control_coordinator.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "fan/auto_max_threshold.h"
#include "fan/fan_control_error.h"
#include "fan/fan_write_verification.h"
#include "platform/clock.h"

namespace tidewarden::fan {
namespace {

constexpr double kPlausibleCelsiusMaximum = 140;

constexpr const char* kLayoutChanged = "Fan layout or limits changed during control.";
constexpr const char* kCompletedCheckFailed =
    "Fan mode, target or layout changed before the completed acquisition check. Tidewarden will return its touched "
    "fans to System without retrying targets.";

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

bool decideAutoMaxBoost(double temperature, double threshold, bool currentlyBoosted) {
  if (!std::isfinite(temperature) || !(temperature > 0) || !(temperature < kPlausibleCelsiusMaximum) ||
      !std::isfinite(threshold) || threshold < kAutoMaxThresholdMinimum || threshold > kAutoMaxThresholdMaximum) {
    refuse("Auto Max requires a supported fresh temperature and a 60–90°C threshold.");
  }
  const double limit = currentlyBoosted ? threshold - kAutoMaxHysteresisCelsius : threshold;
  return temperature > limit;
}

bool FanControlCoordinator::leaseAlive(const Lease& lease, double now) const {
  return lease.heartbeat <= now && now - lease.heartbeat < kHeartbeatLimitSeconds && lease.started <= now;
}

void FanControlCoordinator::startControlTimer() {
  if (timer_) return;
  timer_ = makeTimer_([this] { controlTick(); });
}

void FanControlCoordinator::controlTick() {
  try {
    runControlStep();
  } catch (const std::exception& failure) {
    // A restoration that failed is not tried twice in one tick; the next tick retries it.
    if (restorationPending_) {
      lastMessage_ = std::string("System restoration needs attention: ") + failure.what();
      return;
    }
    if (recoveryBlocked_ && !lease_) return;
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
  retryRecoveryRecordDeletion();
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
      }
      const bool released = lease_->boosted;
      lease_->boosted = false;
      lease_->touched = false;
      lease_->touchedFanIDs.clear();
      const std::string armed = "Auto Max armed; System controls the fans below the trigger temperature.";
      if (released) {
        deleteRecoveryRecord(armed);
      } else {
        lastMessage_ = armed;
      }
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

}  // namespace tidewarden::fan
