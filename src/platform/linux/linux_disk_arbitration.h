// Disk Arbitration on Linux: not available, and said so.
#pragma once

#include <memory>

#include "platform/disk_arbitration.h"

namespace tidewarden::platform {

// Linux has no mount-approval callbacks that could keep a partition unmounted (udisks
// and the desktop's automounters ask nobody), so this never makes a session: every
// caller that needs mount protection refuses to go on.
std::unique_ptr<DiskArbitration> makeLinuxDiskArbitration();

}  // namespace tidewarden::platform
