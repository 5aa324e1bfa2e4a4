// Single fan writes, each followed by a bounded observation of the controller's own readback.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "fan/fan_smc_transport.h"
#include "platform/clock.h"

namespace tidewarden::fan {

// Bounds of every observation stage (system uptime).
inline constexpr double kObservationBudgetSeconds = 1.0;
inline constexpr int kMaxObservationSamples = 21;
inline constexpr double kObservationPauseSeconds = 0.05;
inline constexpr double kTargetMatchToleranceRPM = 2.0;
inline constexpr int kRequiredConsecutiveMatches = 3;
inline constexpr double kMinimumMatchSpanSeconds = 0.1;

// Every write is issued once and then proved from readback within one stage of at most
// 1 s and 21 samples; nothing is ever rewritten, re-acquired or re-encoded inside a
// stage. A stage that does not verify refuses, and the caller returns the fans to
// System. The platform calls are synchronous, so a stage can outlast its budget by the
// time of the calls in flight. Pauses go through the clock, so tests run on virtual
// time. Every failure is FanControlError::refused; the event lines stay in the
// transport's log for the report.
//
// Fan i uses the keys F{i}Md (mode, "ui8 ", 0 automatic, 1 manual) and F{i}Tg
// (target); messages number the fan i + 1.
class FanWriteVerifier {
 public:
  FanWriteVerifier(FanSMCTransport& smc, platform::Clock& clock) : smc_(smc), clock_(clock) {}

  // Acquire (manual) or release (automatic) one fan. An acquisition never takes over a
  // fan that is already manual or in an unknown mode. A release writes nothing when the
  // fan already reads automatic, unless a manual write may have been issued to it
  // (`touched`, or an earlier acquisition not yet cancelled): then 0 is sent anyway and
  // must read back three times over 0.1 s. `beforeWrite` runs just before the write;
  // when it throws, nothing is written and its error propagates.
  void writeFanMode(bool acquire, int fanIndex, bool touched, const std::function<void()>& beforeWrite = {});
  // Samples `modeKey` until it reads `requested` (once for 1; three times over at least
  // 0.1 s for 0) or the stage ends.
  void observeFanMode(int requested, std::string_view modeKey, int fanIndex);

  // Writes `rpm` once, only while manual mode reads back, in the encoding and size the
  // target register already has, then observes it.
  void writeFanTarget(double rpm, int fanIndex);
  // Samples mode, target, mode until the target matches within 2 RPM three times over
  // at least 0.1 s while manual mode holds, or the stage ends. `start` is the uptime
  // taken before the write; `targetType` and `byteCount` are the register's format
  // before it.
  void observeFanTarget(double rpm, double start, int fanIndex, std::string_view targetKey, std::string_view modeKey,
                        std::string_view targetType, std::size_t byteCount);

 private:
  FanSMCTransport& smc_;
  platform::Clock& clock_;
};

}  // namespace tidewarden::fan
