// The one owner of fan state: sessions under a renewable lease, the per-second control step, restoration to System.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fan/fan_messages.h"
#include "fan/fan_recovery_store.h"
#include "fan/fan_smc_transport.h"
#include "platform/platform.h"

namespace tidewarden::platform {
class SerialQueue;
}

namespace tidewarden::fan {

inline constexpr double kHeartbeatLimitSeconds = 12;
inline constexpr double kManualBoostGuardCelsius = 95;
inline constexpr double kAutoMaxHysteresisCelsius = 5;
inline constexpr double kHoldToleranceRPM = 2.0;
inline constexpr double kRecoveryRecordRefreshSeconds = 300;
inline constexpr double kRecoveryRecordMaxAgeSeconds = 7200;

// Whether Auto Max should hold the fans at maximum: above `threshold`, and once
// boosting until the temperature falls to `threshold` − 5 °C. Refuses an implausible
// temperature (not within 0...140 °C exclusive) or a threshold outside 60...90 °C.
bool decideAutoMaxBoost(double temperature, double threshold, bool currentlyBoosted);

// The periodic tick of a session; stops when destroyed. Made by a factory so that tests
// can tick by hand on virtual time.
class ControlTimer {
 public:
  virtual ~ControlTimer() = default;
};
// Starts ticking `tick` on the coordinator's queue: first one second after the call,
// then every second.
using ControlTimerFactory = std::function<std::unique_ptr<ControlTimer>(std::function<void()> tick)>;

// Owns every fan write the helper makes. State is confined to `queue`: requests,
// timer ticks and the start-up recovery all run there, so nothing here is locked.
//
// A session is a lease the application renews at least every 12 s of uptime; the
// control step returns every fan the session touched to System when the lease lapses,
// a temperature guard trips, another controller changes a fan, or anything cannot be
// verified. No fan already in manual mode is ever taken over, and a session is never
// replaced silently. A return to System that cannot be verified leaves
// `restorationPending` set, which refuses every new override until a later
// restoration verifies.
class FanControlCoordinator {
 public:
  struct Lease {
    std::string id;                       // canonical upper-case UUID text
    double started = 0;                   // uptime when the session was created
    double heartbeat = 0;                 // uptime of the latest accepted renewal
    double journalRefreshedUptime = 0;    // uptime of the latest recovery-record write
    std::vector<FanControlFan> original;  // inventory when the session was created
    FanControlMode mode = FanControlMode::system;
    std::map<std::int32_t, double> targets;  // validated targets (maxima for Max and Auto Max)
    FanThermalSource source = FanThermalSource::cpu;
    double threshold = 0;
    bool boosted = false;  // fans held under the override (Auto Max: boosting)
    bool touched = false;  // a mode write may have been issued in this session
    std::set<std::int32_t> touchedFanIDs;
  };

  static constexpr const char* kInitialMessage = "System controls cooling. No manual override has been requested.";

  // `makeTimer` defaults to a one-second repeating timer on `queue`.
  FanControlCoordinator(platform::Platform& platform, platform::SerialQueue& queue,
                        ControlTimerFactory makeTimer = {});
  // Stops the timer on the queue; must not be called from the queue.
  ~FanControlCoordinator();
  FanControlCoordinator(const FanControlCoordinator&) = delete;
  FanControlCoordinator& operator=(const FanControlCoordinator&) = delete;

  // Entry from the protocol: runs `request` on the queue and calls `reply` exactly once.
  void handleFanControl(FanControlRequest request, std::function<void(FanControlReply)> reply);
  // Runs one request now; on the queue only (tests call it directly). Never throws.
  FanControlReply perform(const FanControlRequest& request);
  // One tick of the control timer: the control step, and on its failure a safety
  // return to System. On the queue only.
  void controlTick();
  // The per-second control step; throws FanControlError on a failure for the caller
  // to answer. On the queue only.
  void runControlStep();
  // The return to System of every fan the session touched. Throws when a release does
  // not verify; the session and `restorationPending` then stay.
  void restoreSystem(const std::string& message);
  // After a restart: returns the fans a previous helper left in manual mode to System
  // when its recovery record is trusted, or blocks new overrides when it is not. Every
  // recorded fan is tried; while one is unverified the record stays, `restorationPending`
  // is set and the control step (or a "restore") tries again. Temporary records a killed
  // write left behind are removed first. On the queue only; run once at start-up.
  void recoverAfterRestart();

  const std::optional<Lease>& lease() const { return lease_; }
  const std::string& lastMessage() const { return lastMessage_; }
  bool restorationPending() const { return restorationPending_; }
  bool recoveryBlocked() const { return recoveryBlocked_; }
  bool timerRunning() const { return timer_ != nullptr; }

 private:
  FanSMCTransport& acquireTransport();
  void captureMetadata();
  FanControlStatus buildStatus();
  std::string buildFanReport(const std::vector<FanControlFan>& fans);
  std::string buildAttemptReport(const FanControlRequest& request, const std::string& outcome);
  std::vector<std::string> eventsForReport() const;

  void apply(const FanControlRequest& request, bool& mayHaveWritten);
  void updateActiveSession(const FanControlRequest& request, const std::map<std::int32_t, double>& targets);
  void renew(const FanControlRequest& request, bool& mayHaveWritten);
  FanControlReply successReply(const FanControlRequest& request);
  FanControlReply failureReply(const FanControlRequest& request, const std::string& description,
                               bool mayHaveWritten);

  bool leaseAlive(const Lease& lease, double now) const;
  void requireSameLayout(const std::vector<FanControlFan>& fans, const std::string& message) const;
  std::optional<double> cpuTemperature();
  std::optional<double> gpuTemperature();
  std::optional<double> autoMaxTemperature(FanThermalSource source);
  void acquireFan(std::int32_t id, double target);
  void commitJournalBeforeModeWrite(std::int32_t id);
  // Writes the record naming `touched` with their `targets`; the lease is not changed.
  void writeRecoveryRecord(const std::set<std::int32_t>& touched, const std::map<std::int32_t, double>& targets);
  // Deletes the record once every fan it names is verified in System, and says `message`.
  // When the deletion fails the fans stay released: the message then says so, and every
  // later step and request retries the deletion (no fan is written for it).
  void deleteRecoveryRecord(const std::string& message);
  void retryRecoveryRecordDeletion();
  // Releases every fan the session touched; a fan verified in System leaves
  // `touchedFanIDs`, a fan the controller no longer reports is noted in `notes`.
  void releaseTouchedFans(std::vector<std::string>& failures, std::vector<std::string>& notes);
  // One attempt at the fans of `pendingRecovery_`; false when they no longer match the
  // record (the recovery is then blocked and `lastMessage` says why).
  bool releaseRecordedFans(std::vector<std::string>& failures);
  std::string deviceIdentifier();
  void checkCompletedAcquisition();
  void startControlTimer();
  // Registers for sleep notices once per coordinator (again after a loss); refuses when
  // that is impossible.
  void installSleepProtection();
  // The platform can no longer hold sleep: a held session returns to System at once.
  void sleepProtectionLost();
  bool thermalPressure();

  platform::Platform& platform_;
  platform::SerialQueue& queue_;
  ControlTimerFactory makeTimer_;
  FanRecoveryStore store_;
  // What the power handler reaches the coordinator through; cleared when it goes, as
  // the registration outlives it.
  struct PowerLink {
    std::mutex mutex;
    FanControlCoordinator* owner = nullptr;
  };
  std::shared_ptr<PowerLink> powerLink_ = std::make_shared<PowerLink>();
  bool sleepProtectionInstalled_ = false;

  std::unique_ptr<FanSMCTransport> smc_;
  std::unique_ptr<ControlTimer> timer_;
  std::string lastMessage_ = kInitialMessage;
  bool recoveryBlocked_ = false;
  bool restorationPending_ = false;
  std::optional<std::string> lastAttemptReport_;
  std::vector<std::string> lastInterfaceMetadata_;
  std::string modelIdentifier_ = "Unknown";
  std::optional<Lease> lease_;
  // A trusted record of a previous helper whose fans have not all verified in System;
  // verified fans leave it (in memory only).
  std::optional<FanRecoveryRecord> pendingRecovery_;
  // The record's deletion failed after every fan verified: `deletedMessage_` is what
  // `lastMessage_` becomes once it is done.
  bool recordDeletionPending_ = false;
  std::string deletedMessage_;
  std::string chip_;
  // The event log of the transport dropped by the latest restoration, so that the
  // report of a failed attempt still shows the writes that led to it.
  std::deque<std::string> droppedEvents_;
};

}  // namespace tidewarden::fan
