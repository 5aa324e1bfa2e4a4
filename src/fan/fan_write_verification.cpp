// Single fan writes, each followed by a bounded observation of the controller's own readback.
#include "fan/fan_write_verification.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_text.h"

namespace tidewarden::fan {
namespace {

using Value = FanSMCTransport::Value;

constexpr int kHighestFanIndex = 7;

std::string fanKey(int index, std::string_view suffix) { return "F" + std::to_string(index) + std::string(suffix); }

std::string fanNumber(int index) { return std::to_string(index + 1); }

void requireFanIndex(int fanIndex) {
  if (fanIndex < 0 || fanIndex > kHighestFanIndex) throw FanControlError::refused("Invalid fan index.");
}

bool isModeByte(const Value& value) { return value.type == "ui8 " && value.bytes.size() == 1; }

bool readsManual(const Value& value) { return isModeByte(value) && value.bytes[0] == 1; }

// Milliseconds since the stage start, never negative, as "%.0f".
std::string elapsedMilliseconds(double start, double sample) {
  const double milliseconds = std::max(0.0, (sample - start) * 1000.0);
  char text[32] = {};
  std::snprintf(text, sizeof text, "%.0f", milliseconds);
  return text;
}

// The decoded number in default decimal form, or "unreadable".
std::string defaultOrUnreadable(const std::optional<Value>& value) {
  if (!value) return "unreadable";
  const std::optional<double> number = FanSMCTransport::decodeValue(value->type, value->bytes);
  return number ? formatDefaultDecimal(*number) : "unreadable";
}

// A sample time: finite and not earlier than the one before. A clock that jumps back
// would make the budget and the match span meaningless, so the stage ends instead.
double sampleTime(platform::Clock& clock, double notBefore, const std::string& message) {
  const double now = clock.uptime();
  if (!std::isfinite(now) || now < notBefore) throw FanControlError::refused(message);
  return now;
}

}  // namespace

void FanWriteVerifier::writeFanMode(bool acquire, int fanIndex, bool touched,
                                    const std::function<void()>& beforeWrite) {
  requireFanIndex(fanIndex);
  const std::string key = fanKey(fanIndex, "Md");
  const Value current = smc_.readValue(key);
  if (!isModeByte(current)) throw FanControlError::refused("Unsupported fan mode format.");
  const int requested = acquire ? 1 : 0;
  std::set<int>& outstanding = smc_.modeWritesNeedingCancellation();
  const bool cancellationOwed = !acquire && (touched || outstanding.contains(fanIndex));
  smc_.recordEvent("MODE REQUEST fan=" + fanNumber(fanIndex) + ", key=" + key +
                   ", requested=" + std::to_string(requested) +
                   "; before: " + FanSMCTransport::describeValue(current));

  if (current.bytes[0] == requested) {
    if (acquire) {
      throw FanControlError::refused("Fan " + fanNumber(fanIndex) +
                                     " was already in manual mode before Tidewarden acquired it. No target was written.");
    }
    if (!cancellationOwed) {
      smc_.recordEvent("SYSTEM READBACK " + key + " already automatic; no outstanding acquisition to cancel.");
      return;
    }
    smc_.recordEvent("SYSTEM CANCELLATION " + key +
                     ": sending 0 despite the first automatic reading because this fan has a recorded "
                     "possibly-issued mode write.");
  } else if (acquire && current.bytes[0] != 0) {
    throw FanControlError::refused("Fan " + fanNumber(fanIndex) + " changed to an unsupported mode before acquisition (" +
                                   key + ": " + FanSMCTransport::describeValue(current) +
                                   "). No write was attempted.");
  }

  if (beforeWrite) beforeWrite();
  // Entered before the write: from here on the controller may hold a manual mode we set.
  if (acquire) outstanding.insert(fanIndex);
  const std::uint8_t payload[1] = {static_cast<std::uint8_t>(requested)};
  smc_.writeValue(key, payload);
  observeFanMode(requested, key, fanIndex);
  if (!acquire) outstanding.erase(fanIndex);
}

void FanWriteVerifier::observeFanMode(int requested, std::string_view modeKey, int fanIndex) {
  const std::string key(modeKey);
  const double start = clock_.uptime();
  if (!std::isfinite(start)) throw FanControlError::refused("Fan mode observation clock is unavailable.");
  const double deadline = start + kObservationBudgetSeconds;
  const std::string clockChanged = "Fan mode observation clock changed; no target was written.";

  double previous = start;
  std::string previousDescription;
  std::optional<Value> last;
  int samples = 0;
  int matches = 0;
  double runStart = start;
  for (int sample = 1; sample <= kMaxObservationSamples; ++sample) {
    samples = sample;
    const double before = sampleTime(clock_, previous, clockChanged);
    Value reading = smc_.readValue(key);
    const double after = sampleTime(clock_, before, clockChanged);
    previous = after;
    const std::string description = FanSMCTransport::describeValue(reading);
    if (sample == 1 || description != previousDescription) {
      smc_.recordEvent("MODE READBACK " + key + ": " + description + "; sample=" + std::to_string(sample) +
                       ", elapsed=" + elapsedMilliseconds(start, after) + " ms");
    }
    previousDescription = description;
    if (!isModeByte(reading) || reading.bytes[0] > 1) {
      throw FanControlError::refused("Fan " + fanNumber(fanIndex) + " mode format/value changed during observation (" +
                                     key + ": " + description + "). No alternative protocol was attempted.");
    }
    const bool matched = reading.bytes[0] == requested;
    last = std::move(reading);
    if (matched) {
      if (matches == 0) runStart = after;
      ++matches;
      // Manual mode is proved by one reading; automatic must hold, because the
      // controller may still be finishing a manual phase when it first reads 0.
      const bool verified = requested == 1 || (matches >= kRequiredConsecutiveMatches &&
                                               after - runStart >= kMinimumMatchSpanSeconds);
      if (verified) {
        smc_.recordEvent("MODE VERIFIED " + key + "=" + std::to_string(requested) +
                         "; samples=" + std::to_string(sample) + ", elapsed=" + elapsedMilliseconds(start, after) +
                         " ms; mode writes in this observation=0");
        return;
      }
    } else {
      matches = 0;
    }
    const double left = deadline - after;
    if (left <= 0 || sample == kMaxObservationSamples) break;
    clock_.sleepFor(std::min(kObservationPauseSeconds, left));
  }

  const std::string elapsed = elapsedMilliseconds(start, previous);
  const std::string lastValue = defaultOrUnreadable(last);
  smc_.recordEvent("MODE NOT CONFIRMED key=" + key + ", expected=" + std::to_string(requested) + ", last=" + lastValue +
                   ", samples=" + std::to_string(samples) + ", elapsed=" + elapsed +
                   " ms; no repeated mode write, no target write");
  throw FanControlError::refused("Fan " + fanNumber(fanIndex) + " mode verification failed: " + key + " requested " +
                                 std::to_string(requested) + ", last read back " + lastValue + " after " +
                                 std::to_string(samples) + " observations (" + elapsed +
                                 " ms). The mode was not confirmed within the bounded check. No target retry or "
                                 "controller bypass was attempted.");
}

void FanWriteVerifier::writeFanTarget(double rpm, int fanIndex) {
  requireFanIndex(fanIndex);
  const std::string modeKey = fanKey(fanIndex, "Md");
  const std::string targetKey = fanKey(fanIndex, "Tg");
  const Value mode = smc_.readValue(modeKey);
  if (!readsManual(mode)) {
    const std::string description = FanSMCTransport::describeValue(mode);
    smc_.recordEvent("TARGET NOT WRITTEN: " + modeKey + " " + description);
    throw FanControlError::refused("Fan " + fanNumber(fanIndex) +
                                   " target was not written because manual mode was not confirmed (" + modeKey + ": " +
                                   description + ").");
  }
  const Value target = smc_.readValue(targetKey);
  const std::vector<std::uint8_t> payload = FanSMCTransport::encodeTarget(rpm, target.type);
  if (payload.size() != target.bytes.size()) throw FanControlError::refused("Fan target format changed.");
  smc_.recordEvent("TARGET REQUEST fan=" + fanNumber(fanIndex) + ", key=" + targetKey +
                   ", requested=" + formatDefaultDecimal(rpm) + " RPM; before: " +
                   FanSMCTransport::describeValue(target) + "; mode: " + FanSMCTransport::describeValue(mode));
  const double start = clock_.uptime();
  if (!std::isfinite(start)) {
    throw FanControlError::refused("Fan target observation clock is unavailable. No target was written.");
  }
  smc_.writeValue(targetKey, payload);
  observeFanTarget(rpm, start, fanIndex, targetKey, modeKey, target.type, payload.size());
}

void FanWriteVerifier::observeFanTarget(double rpm, double start, int fanIndex, std::string_view targetKeyView,
                                        std::string_view modeKeyView, std::string_view targetType,
                                        std::size_t byteCount) {
  const std::string targetKey(targetKeyView);
  const std::string modeKey(modeKeyView);
  const double deadline = start + kObservationBudgetSeconds;
  const std::string clockChanged = "Fan target observation clock changed. The override must return to System.";
  const auto lostManual = [&](const std::string& description) {
    return FanControlError::refused("Fan " + fanNumber(fanIndex) + " lost confirmed manual mode during target observation (" +
                                    modeKey + ": " + description +
                                    "). No target rewrite or mode reacquisition was attempted.");
  };

  double previous = start;
  std::string previousText;
  std::optional<Value> lastTarget;
  std::optional<Value> lastMode;
  int samples = 0;
  int matches = 0;
  double runStart = start;
  for (int sample = 1; sample <= kMaxObservationSamples; ++sample) {
    samples = sample;
    const double before = sampleTime(clock_, previous, clockChanged);
    const Value modeBefore = smc_.readValue(modeKey);
    lastMode = modeBefore;
    if (!readsManual(modeBefore)) {
      const std::string description = FanSMCTransport::describeValue(modeBefore);
      smc_.recordEvent("TARGET OBSERVATION STOPPED " + targetKey + ": " + modeKey + " before target read: " +
                       description + "; sample=" + std::to_string(sample));
      throw lostManual(description);
    }
    const Value target = smc_.readValue(targetKey);
    const Value modeAfter = smc_.readValue(modeKey);
    const double after = sampleTime(clock_, before, clockChanged);
    previous = after;
    lastTarget = target;
    lastMode = modeAfter;

    const std::string targetDescription = FanSMCTransport::describeValue(target);
    const std::string modeDescription = FanSMCTransport::describeValue(modeAfter);
    const std::string text = targetKey + ": " + targetDescription + "; " + modeKey + ": " + modeDescription;
    if (sample == 1 || text != previousText) {
      smc_.recordEvent("TARGET READBACK " + text + "; sample=" + std::to_string(sample) +
                       ", elapsed=" + elapsedMilliseconds(start, after) + " ms");
    }
    previousText = text;
    if (!readsManual(modeAfter)) throw lostManual(modeDescription);

    const std::optional<double> value = FanSMCTransport::decodeValue(target.type, target.bytes);
    if (target.type != targetType || target.bytes.size() != byteCount || !value || *value < 0 ||
        *value > kMaxPlausibleRPM) {
      throw FanControlError::refused("Fan " + fanNumber(fanIndex) + " target format/value changed during observation (" +
                                     targetKey + ": " + targetDescription +
                                     "). No alternate encoding or target rewrite was attempted.");
    }
    if (std::fabs(*value - rpm) <= kTargetMatchToleranceRPM) {
      if (matches == 0) runStart = after;
      ++matches;
      if (matches >= kRequiredConsecutiveMatches && after - runStart >= kMinimumMatchSpanSeconds) {
        smc_.recordEvent("TARGET VERIFIED " + targetKey + "=" + formatFixed3(*value) + " RPM, " + modeKey +
                         "=1; samples=" + std::to_string(sample) + ", elapsed=" + elapsedMilliseconds(start, after) +
                         " ms; consecutive matches=" + std::to_string(matches) +
                         "; target writes in this observation=0");
        return;
      }
    } else {
      matches = 0;
    }
    const double left = deadline - after;
    if (left <= 0 || sample == kMaxObservationSamples) break;
    clock_.sleepFor(std::min(kObservationPauseSeconds, left));
  }

  std::string lastTargetText = "unreadable";
  if (lastTarget) {
    if (const auto number = FanSMCTransport::decodeValue(lastTarget->type, lastTarget->bytes)) {
      lastTargetText = formatFixed3(*number);
    }
  }
  smc_.recordEvent("TARGET NOT CONFIRMED key=" + targetKey + ", requested=" + formatDefaultDecimal(rpm) +
                   ", last=" + lastTargetText + ", samples=" + std::to_string(samples) +
                   "; no target rewrite or mode reacquisition");
  throw FanControlError::refused(
      "Fan " + fanNumber(fanIndex) + " target verification failed: " + targetKey + " requested " + formatFixed3(rpm) +
      " RPM, read back " + lastTargetText + " RPM; " + modeKey + " read back " + defaultOrUnreadable(lastMode) +
      ". Target type \"" + std::string(targetType) +
      "\". Target and manual mode did not remain confirmed within the bounded check (" + std::to_string(samples) +
      " samples). Fan control was not confirmed. Copy Fan Control Report contains the raw readback.");
}

}  // namespace tidewarden::fan
