// Signals to processes the helper did not start itself.
#pragma once

#include <sys/types.h>

#include <memory>

namespace tidewarden::platform {

class ProcessSignals {
 public:
  virtual ~ProcessSignals() = default;
  // Sends `signal` to the one process `pid`. A pid of 0 or below (which kill(2) reads
  // as a whole process group or every process) is refused with EINVAL and nothing is
  // sent. Returns false with errno set when nothing was sent.
  virtual bool send(pid_t pid, int signal) = 0;
};

// kill(2).
std::unique_ptr<ProcessSignals> makeProcessSignals();

}  // namespace tidewarden::platform
