// The machine's own account database (the system's passwd lookup).
#pragma once

#include <memory>

#include "platform/account_database.h"

namespace tidewarden::platform {

std::unique_ptr<AccountDatabase> makeLinuxAccountDatabase();

}  // namespace tidewarden::platform
