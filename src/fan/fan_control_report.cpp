// The fan-control report and the latest attempt's report, for "Copy Fan Control Report".
#include "fan/fan_control_coordinator.h"

#include <cmath>
#include <ctime>

#include "fan/fan_text.h"
#include "platform/clock.h"
#include "platform/json_codec.h"
#include "platform/process_facts.h"

namespace tidewarden::fan {
namespace {

constexpr std::size_t kFanReportCharacters = 40000;
constexpr std::size_t kAttemptReportCharacters = 20000;
constexpr std::size_t kAttemptReportDraftTargets = 8;

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

}  // namespace

void FanControlCoordinator::captureMetadata() {
  std::vector<std::string> lines{"Read-only controller metadata captured: " + isoDate(platform_.clock.now())};
  for (std::string& line : acquireTransport().captureInterfaceMetadata()) lines.push_back(std::move(line));
  lastInterfaceMetadata_ = std::move(lines);
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
