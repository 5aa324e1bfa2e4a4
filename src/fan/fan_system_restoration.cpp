// The return to System of every fan a session touched, and what stays when it cannot be verified.
#include "fan/fan_control_coordinator.h"

#include <exception>

#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_write_verification.h"

namespace tidewarden::fan {
namespace {

constexpr const char* kRestorationUnverified =
    "System restoration has not been verified: a fan may still be in manual mode. Tidewarden retries every second, "
    "and new overrides are refused until every fan reads automatic.";

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

// Whether the controller still lists fan `id`. Only a count it reports in so many words
// says a fan is gone; a count that cannot be read leaves the fan in place.
bool controllerStillHasFan(FanSMCTransport& smc, std::int32_t id) {
  try {
    const FanSMCTransport::Value count = smc.readValue("FNum");
    const std::optional<double> fans = FanSMCTransport::decodeValue(count.type, count.bytes);
    return !(count.type == "ui8 " && fans && *fans <= kMaxFanCount && id >= *fans);
  } catch (const std::exception&) {
    return true;
  }
}

}  // namespace

void FanControlCoordinator::restoreSystem(const std::string& message) {
  if (!lease_ && !pendingRecovery_) {
    if (recoveryBlocked_) refuse(lastMessage_);
    lastMessage_ =
        "No Tidewarden fan override is active. No mode write was requested; the reported fan state does not identify "
        "its owner.";
    return;
  }
  restorationPending_ = true;
  std::vector<std::string> failures;
  std::vector<std::string> notes;
  if (lease_ && lease_->touched) releaseTouchedFans(failures, notes);
  if (pendingRecovery_ && !releaseRecordedFans(failures)) refuse(lastMessage_);
  if (!failures.empty()) {
    std::string text;
    for (const std::string& failure : failures) text += (text.empty() ? "" : " ") + failure;
    lastMessage_ = kRestorationUnverified;
    startControlTimer();  // the step retries
    refuse(text);
  }
  lease_.reset();
  pendingRecovery_.reset();
  restorationPending_ = false;
  if (smc_) droppedEvents_ = smc_->writeEvents();
  smc_.reset();
  std::string outcome = message;
  for (const std::string& note : notes) outcome += " " + note;
  deleteRecoveryRecord(outcome);
  if (!recordDeletionPending_) timer_.reset();
}

void FanControlCoordinator::releaseTouchedFans(std::vector<std::string>& failures, std::vector<std::string>& notes) {
  FanSMCTransport* smc = nullptr;
  try {
    smc = &acquireTransport();
  } catch (const std::exception&) {
    failures.push_back("AppleSMC is unavailable.");
    return;
  }
  FanWriteVerifier verifier(*smc, platform_.clock);
  for (const FanControlFan& fan : lease_->original) {
    if (!lease_->touchedFanIDs.contains(fan.id)) continue;
    try {
      verifier.writeFanMode(/*acquire=*/false, fan.id, /*touched=*/true);
    } catch (const std::exception& error) {
      if (controllerStillHasFan(*smc, fan.id)) {
        failures.push_back(error.what());
        continue;
      }
      notes.push_back(fan.name + " is no longer reported by the controller, so no release could be written to it.");
    }
    // Verified in System (or gone): a later attempt leaves it alone.
    lease_->touchedFanIDs.erase(fan.id);
  }
}

void FanControlCoordinator::deleteRecoveryRecord(const std::string& message) {
  try {
    store_.clear();
    recordDeletionPending_ = false;
    lastMessage_ = message;
  } catch (const std::exception& error) {
    recordDeletionPending_ = true;
    deletedMessage_ = message;
    lastMessage_ = message + " " + error.what() +
                   " Every fan is verified in System; Tidewarden retries the deletion every second.";
    startControlTimer();
  }
}

void FanControlCoordinator::retryRecoveryRecordDeletion() {
  if (!recordDeletionPending_) return;
  try {
    store_.clear();
  } catch (const std::exception&) {
    return;
  }
  recordDeletionPending_ = false;
  if (lastMessage_ != deletedMessage_ && lastMessage_.starts_with(deletedMessage_)) lastMessage_ = deletedMessage_;
  if (!lease_ && !restorationPending_) timer_.reset();
}

}  // namespace tidewarden::fan
