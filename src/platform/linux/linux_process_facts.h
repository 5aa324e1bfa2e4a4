// Process facts of the running Linux process.
#pragma once

#include <memory>

#include "platform/process_facts.h"

namespace tidewarden::platform {

std::unique_ptr<ProcessFacts> makeLinuxProcessFacts();

}  // namespace tidewarden::platform
