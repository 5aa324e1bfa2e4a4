// Wire types of fan control: the request, the status snapshot and the reply, with their enumerations.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::fan {

namespace json = platform::json;

enum class FanControlMode {
  system,   // the controller's own automatic control; no override
  manual,   // fixed per-fan targets chosen by the user (Manual Boost)
  maximum,  // every fan held at its detected maximum
  autoMax,  // System below a temperature threshold, every fan at maximum above it
};

inline constexpr std::array<std::pair<FanControlMode, std::string_view>, 4>
    kFanControlModeRawValues{{
        {FanControlMode::system, "system"},
        {FanControlMode::manual, "manual"},
        {FanControlMode::maximum, "maximum"},
        {FanControlMode::autoMax, "autoMax"},
    }};

constexpr const auto& jsonEnumValues(FanControlMode) { return kFanControlModeRawValues; }

// The name used for the mode in user-facing messages.
constexpr std::string_view displayName(FanControlMode mode) {
  switch (mode) {
    case FanControlMode::system:
      return "System";
    case FanControlMode::manual:
      return "Manual Boost";
    case FanControlMode::maximum:
      return "Max";
    case FanControlMode::autoMax:
      return "Auto Max";
  }
  return "System";
}

// The temperature that drives Auto Max; "either" uses the higher available reading.
enum class FanThermalSource { cpu, gpu, either };

inline constexpr std::array<std::pair<FanThermalSource, std::string_view>, 3>
    kFanThermalSourceRawValues{{
        {FanThermalSource::cpu, "cpu"},
        {FanThermalSource::gpu, "gpu"},
        {FanThermalSource::either, "either"},
    }};

constexpr const auto& jsonEnumValues(FanThermalSource) { return kFanThermalSourceRawValues; }

// What the application asks of fan control. Decoding checks field shapes only; ranges,
// the acknowledgment and the session are judged by the coordinator.
struct FanControlRequest {
  enum class Action { inspect, apply, renew, restore };

  Action action = Action::inspect;               // what to do
  FanControlMode mode = FanControlMode::system;  // requested mode (used by apply)
  std::optional<std::string> sessionID;          // session the application believes it owns
  std::map<std::int32_t, double> targets;        // requested RPM by fan id (manual mode)
  FanThermalSource thermalSource = FanThermalSource::cpu;  // temperature that drives Auto Max
  double thresholdCelsius = 0;                             // Auto Max trigger temperature
  bool acknowledged = false;                               // the user's explicit acknowledgment

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("action", &FanControlRequest::action),
        json::field("mode", &FanControlRequest::mode),
        json::field("sessionID", &FanControlRequest::sessionID),
        json::field("targets", &FanControlRequest::targets),
        json::field("thermalSource", &FanControlRequest::thermalSource),
        json::field("thresholdCelsius", &FanControlRequest::thresholdCelsius),
        json::field("acknowledged", &FanControlRequest::acknowledged),
    };
  }

  friend bool operator==(const FanControlRequest&, const FanControlRequest&) = default;
};

inline constexpr std::array<std::pair<FanControlRequest::Action, std::string_view>, 4>
    kFanControlRequestActionRawValues{{
        {FanControlRequest::Action::inspect, "inspect"},
        {FanControlRequest::Action::apply, "apply"},
        {FanControlRequest::Action::renew, "renew"},
        {FanControlRequest::Action::restore, "restore"},
    }};

constexpr const auto& jsonEnumValues(FanControlRequest::Action) {
  return kFanControlRequestActionRawValues;
}

// A fan of the inventory; every key is required.
struct FanControlFan {
  std::int32_t id = 0;    // fan index 0...7, the # of the controller keys F#..
  std::string name;       // "Fan " followed by id + 1
  double actualRPM = 0;   // measured speed
  double minimumRPM = 0;  // controller minimum
  double maximumRPM = 0;  // controller maximum
  double targetRPM = 0;   // current target register
  bool manual = false;    // the fan is in forced (manual) mode

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("id", &FanControlFan::id),
        json::field("name", &FanControlFan::name),
        json::field("actualRPM", &FanControlFan::actualRPM),
        json::field("minimumRPM", &FanControlFan::minimumRPM),
        json::field("maximumRPM", &FanControlFan::maximumRPM),
        json::field("targetRPM", &FanControlFan::targetRPM),
        json::field("manual", &FanControlFan::manual),
    };
  }

  friend bool operator==(const FanControlFan&, const FanControlFan&) = default;
};

// Fans, mode and session as seen when the snapshot was taken.
struct FanControlStatus {
  platform::json::Date checkedAt;   // when the snapshot was taken
  std::vector<FanControlFan> fans;  // current inventory, in index order
  // mode of the active session; system when there is none
  FanControlMode mode = FanControlMode::system;
  std::optional<std::string> sessionID;  // identifier of the active session
  bool supported = false;  // no recovery block or pending restoration, and a valid inventory
  std::string message;     // the coordinator's current message
  std::optional<double> cpuTemperature;  // degrees Celsius; absent without a reading
  std::optional<double> gpuTemperature;  // degrees Celsius; absent without a reading
  // declared for the application; this helper leaves it absent
  std::optional<platform::json::Date> sessionExpiresAt;
  std::optional<std::map<std::int32_t, double>> boostFloors;  // per-fan boost floor by fan id
  std::optional<bool> restorationPending;                     // a return to System is unfinished
  std::optional<std::string> diagnostics;                     // the fan-control report

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("checkedAt", &FanControlStatus::checkedAt),
        json::field("fans", &FanControlStatus::fans),
        json::field("mode", &FanControlStatus::mode),
        json::field("sessionID", &FanControlStatus::sessionID),
        json::field("supported", &FanControlStatus::supported),
        json::field("message", &FanControlStatus::message),
        json::field("cpuTemperature", &FanControlStatus::cpuTemperature),
        json::field("gpuTemperature", &FanControlStatus::gpuTemperature),
        json::field("sessionExpiresAt", &FanControlStatus::sessionExpiresAt),
        json::field("boostFloors", &FanControlStatus::boostFloors),
        json::field("restorationPending", &FanControlStatus::restorationPending),
        json::field("diagnostics", &FanControlStatus::diagnostics),
    };
  }

  friend bool operator==(const FanControlStatus&, const FanControlStatus&) = default;
};

// The outcome of one fan request.
struct FanControlReply {
  bool accepted = false;  // the action completed
  // snapshot after the action; absent when it could not be built
  std::optional<FanControlStatus> status;
  std::string message;                     // outcome text
  std::optional<std::string> diagnostics;  // the fan-control report

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("accepted", &FanControlReply::accepted),
        json::field("status", &FanControlReply::status),
        json::field("message", &FanControlReply::message),
        json::field("diagnostics", &FanControlReply::diagnostics),
    };
  }

  friend bool operator==(const FanControlReply&, const FanControlReply&) = default;
};

// The recovery record: which fans a session may have switched to manual, so that a
// helper restarted after a crash can return exactly those to System.
struct FanRecoveryRecord {
  std::string deviceID;                     // this Mac; a record from another is not trusted
  platform::json::Date createdAt;           // when this version was written
  std::map<std::int32_t, double> expected;  // session target of every fan that may have been switched
  std::map<std::int32_t, double> previous;  // their targets before the session
  std::optional<std::vector<std::int32_t>> modeFenceFanIDs;  // ascending; a manual write may have been issued

  static constexpr auto jsonFields() {
    return std::tuple{
        json::field("deviceID", &FanRecoveryRecord::deviceID),
        json::field("createdAt", &FanRecoveryRecord::createdAt),
        json::field("expected", &FanRecoveryRecord::expected),
        json::field("previous", &FanRecoveryRecord::previous),
        json::field("modeFenceFanIDs", &FanRecoveryRecord::modeFenceFanIDs),
    };
  }

  friend bool operator==(const FanRecoveryRecord&, const FanRecoveryRecord&) = default;
};

}  // namespace tidewarden::fan
