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

std::string fanNumber(int index) { return std::to_string(index + 1); }

void requireFanIndex(int fanIndex) {
  if (fanIndex < 0 || fanIndex > kHighestFanIndex) throw FanControlError::refused("Invalid fan index.");
}

bool isModeByte(const Value& value) { return value.type == "ui8 " && value.bytes.size() == 1; }

bool readsManual(const Value& value) { return isModeByte(value) && value.bytes[0] == 1; }

// The decoded number in default decimal form, or "unreadable".
std::string defaultOrUnreadable(const std::optional<Value>& value) {
  if (!value) return "unreadable";
  const std::optional<double> number = FanSMCTransport::decodeValue(value->type, value->bytes);
  return number ? formatDefaultDecimal(*number) : "unreadable";
}

// The bookkeeping both observations share: at most 21 samples within 1 s of `start`;
// sample times that never go back (a clock that jumps back would make the budget and
// the match span meaningless, so the stage ends with `clockChanged`); the current run
// of consecutive matching samples; the pause before the next sample.
class ObservationStage {
 public:
  ObservationStage(platform::Clock& clock, double start, std::string clockChanged)
      : clock_(clock), start_(start), lastTime_(start), clockChanged_(std::move(clockChanged)) {}

  // Times the beginning and the end of one sample.
  double begin() {
    ++samples_;
    return sampleTime(lastTime_);
  }
  void end(double begun) { lastTime_ = sampleTime(begun); }

  // Counts the last sample as a match or not; returns the length of the current run.
  int match(bool matched) {
    if (!matched) return matches_ = 0;
    if (matches_ == 0) runStart_ = lastTime_;
    return ++matches_;
  }
  double runSpan() const { return lastTime_ - runStart_; }

  // Pauses min(50 ms, time left); false when the budget or the sample count is spent.
  bool pauseBeforeNextSample() {
    const double left = start_ + kObservationBudgetSeconds - lastTime_;
    if (left <= 0 || samples_ >= kMaxObservationSamples) return false;
    clock_.sleepFor(std::min(kObservationPauseSeconds, left));
    return true;
  }

  int samples() const { return samples_; }
  // Milliseconds from the start to the end of the last sample, never negative, "%.0f".
  std::string elapsed() const {
    char text[32] = {};
    std::snprintf(text, sizeof text, "%.0f", std::max(0.0, (lastTime_ - start_) * 1000.0));
    return text;
  }

 private:
  double sampleTime(double notBefore) {
    const double now = clock_.uptime();
    if (!std::isfinite(now) || now < notBefore) throw FanControlError::refused(clockChanged_);
    return now;
  }

  platform::Clock& clock_;
  const double start_;
  double lastTime_;
  const std::string clockChanged_;
  int samples_ = 0;
  int matches_ = 0;
  double runStart_ = 0;
};

}  // namespace

void FanWriteVerifier::writeFanMode(bool acquire, int fanIndex, bool touched,
                                    const std::function<void()>& beforeWrite) {
  requireFanIndex(fanIndex);
  const std::string key = FanSMCTransport::fanKey(fanIndex, "Md");
  const Value current = smc_.readValue(key);
  if (!isModeByte(current)) throw FanControlError::refused("Unsupported fan mode format.");
  const int requested = acquire ? 1 : 0;
  std::set<int>& outstanding = smc_.modeWritesNeedingCancellation();
  const bool cancellationOwed = !acquire && (touched || outstanding.contains(fanIndex));
  smc_.recordEvent("MODE REQUEST fan=" + fanNumber(fanIndex) + ", key=" + key +
                   ", requested=" + std::to_string(requested) + "; before: " + FanSMCTransport::describeValue(current));

  if (current.bytes[0] == requested) {
    if (acquire) {
      throw FanControlError::refused(
          "Fan " + fanNumber(fanIndex) +
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
    throw FanControlError::refused("Fan " + fanNumber(fanIndex) +
                                   " changed to an unsupported mode before acquisition (" + key + ": " +
                                   FanSMCTransport::describeValue(current) + "). No write was attempted.");
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
  ObservationStage stage(clock_, start, "Fan mode observation clock changed; no target was written.");
  std::string previousDescription;
  std::optional<Value> last;
  do {
    const double begun = stage.begin();
    Value reading = smc_.readValue(key);
    stage.end(begun);
    const std::string description = FanSMCTransport::describeValue(reading);
    if (stage.samples() == 1 || description != previousDescription) {
      smc_.recordEvent("MODE READBACK " + key + ": " + description + "; sample=" + std::to_string(stage.samples()) +
                       ", elapsed=" + stage.elapsed() + " ms");
    }
    previousDescription = description;
    if (!isModeByte(reading) || reading.bytes[0] > 1) {
      throw FanControlError::refused("Fan " + fanNumber(fanIndex) + " mode format/value changed during observation (" +
                                     key + ": " + description + "). No alternative protocol was attempted.");
    }
    const int matches = stage.match(reading.bytes[0] == requested);
    last = std::move(reading);
    // Manual mode is proved by one reading; automatic must hold, because the
    // controller may still be finishing a manual phase when it first reads 0.
    const bool verified =
        matches > 0 &&
        (requested == 1 || (matches >= kRequiredConsecutiveMatches && stage.runSpan() >= kMinimumMatchSpanSeconds));
    if (verified) {
      smc_.recordEvent("MODE VERIFIED " + key + "=" + std::to_string(requested) +
                       "; samples=" + std::to_string(stage.samples()) + ", elapsed=" + stage.elapsed() +
                       " ms; mode writes in this observation=0");
      return;
    }
  } while (stage.pauseBeforeNextSample());

  const std::string samples = std::to_string(stage.samples());
  const std::string lastValue = defaultOrUnreadable(last);
  smc_.recordEvent("MODE NOT CONFIRMED key=" + key + ", expected=" + std::to_string(requested) + ", last=" + lastValue +
                   ", samples=" + samples + ", elapsed=" + stage.elapsed() +
                   " ms; no repeated mode write, no target write");
  throw FanControlError::refused("Fan " + fanNumber(fanIndex) + " mode verification failed: " + key + " requested " +
                                 std::to_string(requested) + ", last read back " + lastValue + " after " + samples +
                                 " observations (" + stage.elapsed() +
                                 " ms). The mode was not confirmed within the bounded check. No target retry or "
                                 "controller bypass was attempted.");
}

void FanWriteVerifier::writeFanTarget(double rpm, int fanIndex) {
  requireFanIndex(fanIndex);
  const std::string modeKey = FanSMCTransport::fanKey(fanIndex, "Md");
  const std::string targetKey = FanSMCTransport::fanKey(fanIndex, "Tg");
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
  smc_.recordEvent(
      "TARGET REQUEST fan=" + fanNumber(fanIndex) + ", key=" + targetKey + ", requested=" + formatDefaultDecimal(rpm) +
      " RPM; before: " + FanSMCTransport::describeValue(target) + "; mode: " + FanSMCTransport::describeValue(mode));
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
  ObservationStage stage(clock_, start, "Fan target observation clock changed. The override must return to System.");
  const auto lostManual = [&](const std::string& description) {
    return FanControlError::refused("Fan " + fanNumber(fanIndex) +
                                    " lost confirmed manual mode during target observation (" + modeKey + ": " +
                                    description + "). No target rewrite or mode reacquisition was attempted.");
  };

  std::string previousText;
  std::optional<Value> lastTarget;
  std::optional<Value> lastMode;
  do {
    const double begun = stage.begin();
    lastMode = smc_.readValue(modeKey);
    if (!readsManual(*lastMode)) {
      const std::string description = FanSMCTransport::describeValue(*lastMode);
      smc_.recordEvent("TARGET OBSERVATION STOPPED " + targetKey + ": " + modeKey +
                       " before target read: " + description + "; sample=" + std::to_string(stage.samples()));
      throw lostManual(description);
    }
    lastTarget = smc_.readValue(targetKey);
    lastMode = smc_.readValue(modeKey);
    stage.end(begun);

    const std::string targetDescription = FanSMCTransport::describeValue(*lastTarget);
    const std::string modeDescription = FanSMCTransport::describeValue(*lastMode);
    const std::string text = targetKey + ": " + targetDescription + "; " + modeKey + ": " + modeDescription;
    if (stage.samples() == 1 || text != previousText) {
      smc_.recordEvent("TARGET READBACK " + text + "; sample=" + std::to_string(stage.samples()) +
                       ", elapsed=" + stage.elapsed() + " ms");
    }
    previousText = text;
    if (!readsManual(*lastMode)) throw lostManual(modeDescription);

    const std::optional<double> value = FanSMCTransport::decodeValue(lastTarget->type, lastTarget->bytes);
    if (lastTarget->type != targetType || lastTarget->bytes.size() != byteCount || !value || *value < 0 ||
        *value > kMaxPlausibleRPM) {
      throw FanControlError::refused("Fan " + fanNumber(fanIndex) +
                                     " target format/value changed during observation (" + targetKey + ": " +
                                     targetDescription + "). No alternate encoding or target rewrite was attempted.");
    }
    const int matches = stage.match(std::fabs(*value - rpm) <= kTargetMatchToleranceRPM);
    if (matches >= kRequiredConsecutiveMatches && stage.runSpan() >= kMinimumMatchSpanSeconds) {
      smc_.recordEvent("TARGET VERIFIED " + targetKey + "=" + formatFixed3(*value) + " RPM, " + modeKey +
                       "=1; samples=" + std::to_string(stage.samples()) + ", elapsed=" + stage.elapsed() +
                       " ms; consecutive matches=" + std::to_string(matches) + "; target writes in this observation=0");
      return;
    }
  } while (stage.pauseBeforeNextSample());

  std::string lastTargetText = "unreadable";
  if (const auto number = FanSMCTransport::decodeValue(lastTarget->type, lastTarget->bytes)) {
    lastTargetText = formatFixed3(*number);
  }
  const std::string samples = std::to_string(stage.samples());
  smc_.recordEvent("TARGET NOT CONFIRMED key=" + targetKey + ", requested=" + formatDefaultDecimal(rpm) +
                   ", last=" + lastTargetText + ", samples=" + samples + "; no target rewrite or mode reacquisition");
  throw FanControlError::refused(
      "Fan " + fanNumber(fanIndex) + " target verification failed: " + targetKey + " requested " + formatFixed3(rpm) +
      " RPM, read back " + lastTargetText + " RPM; " + modeKey + " read back " + defaultOrUnreadable(lastMode) +
      ". Target type \"" + std::string(targetType) +
      "\". Target and manual mode did not remain confirmed within the bounded check (" + samples +
      " samples). Fan control was not confirmed. Copy Fan Control Report contains the raw readback.");
}

}  // namespace tidewarden::fan
