// Process facts of the running Linux process.
#pragma once

#include <memory>

#include "platform/process_facts.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

// User ids from the kernel; the machine's facts from the files beneath `root` ("/" in
// production), read without following links:
//   CPU brand         "model name" of /proc/cpuinfo
//   model identifier  /sys/class/dmi/id/product_name, else "Unknown"
//   device identifier /etc/machine-id
//   OS version        PRETTY_NAME of /etc/os-release with the kernel release of uname
// `root` must outlive the facts.
std::unique_ptr<ProcessFacts> makeLinuxProcessFacts(const UniqueFd& root);

}  // namespace tidewarden::platform
