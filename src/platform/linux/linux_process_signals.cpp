// Signals on Linux: kill(2) to one process.
#include <signal.h>

#include <cerrno>

#include "platform/process_signals.h"

namespace tidewarden::platform {
namespace {

class KillProcessSignals final : public ProcessSignals {
 public:
  bool send(pid_t pid, int signal) override {
    if (pid <= 0) {
      errno = EINVAL;
      return false;
    }
    return ::kill(pid, signal) == 0;
  }
};

}  // namespace

std::unique_ptr<ProcessSignals> makeProcessSignals() { return std::make_unique<KillProcessSignals>(); }

}  // namespace tidewarden::platform
