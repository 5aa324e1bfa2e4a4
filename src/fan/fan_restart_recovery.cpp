// After a restart: the fans a previous helper left held return to System when its record is trusted.
#include "fan/fan_control_coordinator.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <map>

#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_write_verification.h"
#include "platform/clock.h"

namespace tidewarden::fan {
namespace {

constexpr const char* kRecoveredAfterRestart =
    "Previous Tidewarden fan override returned to System after helper restart.";

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

void FanControlCoordinator::recoverAfterRestart() {
  store_.removeStaleTemporaries();
  std::optional<FanRecoveryRecord> record;
  try {
    record = store_.read();
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
  } catch (const std::exception& error) {
    recoveryBlocked_ = true;
    lastMessage_ = error.what();
    return;
  }
  // Trusted: from here on a fan that does not verify is retried, not given up.
  pendingRecovery_ = std::move(record);
  try {
    restoreSystem(kRecoveredAfterRestart);
  } catch (const std::exception&) {
    // lastMessage says what stays; the control step tries again.
  }
}

bool FanControlCoordinator::releaseRecordedFans(std::vector<std::string>& failures) {
  FanRecoveryRecord& record = *pendingRecovery_;
  std::vector<FanControlFan> fans;
  try {
    fans = acquireTransport().readFanInventory();
  } catch (const std::exception& error) {
    failures.push_back(error.what());  // unknown, so tried again
    return true;
  }
  std::map<std::int32_t, FanControlFan> byID;
  for (const FanControlFan& fan : fans) byID[fan.id] = fan;
  std::optional<std::string> untrusted;
  for (const auto& [id, expected] : record.expected) {
    const auto fan = byID.find(id);
    if (fan == byID.end()) {
      untrusted = "Fan layout changed during recovery.";
      break;
    }
    if (!fan->second.manual) continue;
    const auto previous = record.previous.find(id);
    const bool asExpected = std::fabs(fan->second.targetRPM - expected) <= kHoldToleranceRPM;
    const bool asBefore = previous != record.previous.end() &&
                          std::fabs(fan->second.targetRPM - previous->second) <= kHoldToleranceRPM;
    if (!asExpected && !asBefore) {
      untrusted =
          "Fan state no longer matches Tidewarden's recorded override. Another controller may be active; automatic "
          "recovery was not forced.";
      break;
    }
  }
  if (untrusted) {
    pendingRecovery_.reset();
    restorationPending_ = false;
    recoveryBlocked_ = true;
    timer_.reset();
    lastMessage_ = *untrusted;
    return false;
  }
  std::vector<std::int32_t> fence = record.modeFenceFanIDs.value_or(std::vector<std::int32_t>{});
  FanWriteVerifier verifier(*smc_, platform_.clock);
  for (const auto& [id, expected] : std::map<std::int32_t, double>(record.expected)) {
    const bool fenced = std::find(fence.begin(), fence.end(), id) != fence.end();
    if (byID.at(id).manual || fenced) {
      try {
        verifier.writeFanMode(/*acquire=*/false, id, fenced);
      } catch (const std::exception& error) {
        failures.push_back(error.what());
        continue;  // every recorded fan is tried
      }
    }
    // In System: a later attempt leaves it alone.
    record.expected.erase(id);
    std::erase(fence, id);
  }
  record.modeFenceFanIDs = fence;
  return true;
}

}  // namespace tidewarden::fan
