// The system's thermal pressure and its sleep notices, with the answer that lets sleep go ahead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace tidewarden::platform {

// The operating system's thermal pressure, in its own order.
enum class ThermalState { nominal = 0, fair = 1, serious = 2, critical = 3 };

// Power-management message types delivered to a registered handler.
inline constexpr std::uint32_t kSystemWillSleep = 0xE0000280;
inline constexpr std::uint32_t kCanSystemSleep = 0xE0000270;
// Not a power-management message of the system's: the platform can no longer hold sleep
// for the handler (its connection to the power manager ended, or it could not arm
// itself again after a wake). The registration is gone; registerForSystemPower may be
// called again. Delivered once per loss, with notification id 0.
inline constexpr std::uint32_t kSleepProtectionLost = 0x54570001;

class SystemPower {
 public:
  // `messageType` is one of the constants above (others may arrive and are to be
  // ignored); `notificationID` is what allowPowerChange takes to answer it.
  using Handler = std::function<void(std::uint32_t messageType, std::intptr_t notificationID)>;

  virtual ~SystemPower() = default;
  // The thermal pressure now.
  virtual ThermalState thermalState() = 0;
  // Registers `handler`; it is called on a thread of the platform's own. Returns false
  // when notices cannot be received; nothing is then registered. Called once, and again
  // only after the handler received kSleepProtectionLost.
  virtual bool registerForSystemPower(Handler handler) = 0;
  // Lets the power change announced as `notificationID` go ahead. Sleep waits for it
  // (up to the system's own time-out).
  virtual void allowPowerChange(std::intptr_t notificationID) = 0;
};

}  // namespace tidewarden::platform
