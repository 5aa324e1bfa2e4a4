// The controller's user client on Linux, where there is none.
#pragma once

#include <memory>

#include "platform/smc_client.h"

namespace tidewarden::platform {

// Linux has no System Management Controller: open() always answers
// serviceUnavailable, so fan control reports the controller as missing and writes
// nothing.
std::unique_ptr<SmcClient> makeLinuxSmcClient();

}  // namespace tidewarden::platform
