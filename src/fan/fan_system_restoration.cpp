// The return to System of every fan a session touched, and what stays when it cannot be verified.
#include "fan/fan_control_coordinator.h"

#include <exception>

#include "fan/fan_control_error.h"
#include "fan/fan_write_verification.h"

namespace tidewarden::fan {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

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

}  // namespace tidewarden::fan
