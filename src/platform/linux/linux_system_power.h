// Thermal pressure and sleep notices on Linux: thermal-zone trip points and logind's PrepareForSleep.
#pragma once

#include <memory>

#include "platform/system_power.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

// Thermal pressure from the thermal zones' trip points beneath `root` (see
// linux_files::thermalStateBeneath). Sleep notices from systemd-logind over the
// system bus: registering takes a "delay" sleep inhibitor and listens for
// PrepareForSleep; when the system is about to sleep the handler gets
// kSystemWillSleep, and the inhibitor is released only by allowPowerChange with that
// notice's id, so sleep waits for the fans' return to System (up to logind's own
// InhibitDelayMaxSec). After resuming a new inhibitor is taken for the next sleep.
// Without a system bus, or when logind refuses the inhibitor, registration fails and
// nothing is left behind, so fan overrides stay disabled. `root` must outlive it.
std::unique_ptr<SystemPower> makeLinuxSystemPower(const UniqueFd& root);

}  // namespace tidewarden::platform
