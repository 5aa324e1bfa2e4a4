// After a restart: the fans a previous helper left held return to System when its record is trusted.
#include "fan/fan_control_coordinator.h"

#include <cmath>
#include <exception>
#include <map>

#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_write_verification.h"
#include "platform/clock.h"

namespace tidewarden::fan {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

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

}  // namespace tidewarden::fan
