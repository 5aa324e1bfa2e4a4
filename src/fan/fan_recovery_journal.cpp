// The recovery record a session commits before each acquisition and refreshes while it holds fans.
#include "fan/fan_control_coordinator.h"

#include "fan/fan_control_error.h"
#include "platform/clock.h"
#include "platform/json_codec.h"
#include "platform/process_facts.h"

namespace tidewarden::fan {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

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
  recordDeletionPending_ = false;  // the record on disk is this session's now
}

}  // namespace tidewarden::fan
