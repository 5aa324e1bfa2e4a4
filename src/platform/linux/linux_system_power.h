// Thermal pressure and sleep notices on Linux: thermal-zone trip points and logind's PrepareForSleep.
#pragma once

#include <memory>
#include <string>

#include "platform/system_power.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

// Thermal pressure from the thermal zones' trip points beneath `root` (see
// linux_files::thermalStateBeneath). Sleep notices from systemd-logind over the bus at
// `busAddress` (the system bus when empty; tests give a private one): registering takes
// a "delay" sleep inhibitor and listens for PrepareForSleep; when the system is about
// to sleep the handler gets kSystemWillSleep, and the inhibitor is released by
// allowPowerChange with that notice's id (or by logind's own InhibitDelayMaxSec), so
// sleep waits for the handler's answer. After resuming a new inhibitor is taken for the
// next sleep. When the bus connection fails, or no inhibitor can be taken after a
// wake, sleep is no longer held: the handler gets kSleepProtectionLost and a new
// registration may be tried. Without a bus, or when logind refuses the inhibitor,
// registration fails and nothing is left behind, so fan overrides stay disabled.
// `root` must outlive it.
std::unique_ptr<SystemPower> makeLinuxSystemPower(const UniqueFd& root, std::string busAddress = {});

}  // namespace tidewarden::platform
