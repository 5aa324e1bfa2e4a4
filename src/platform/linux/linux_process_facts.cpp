// Process facts of the running Linux process.
#include "platform/linux/linux_process_facts.h"

#include <unistd.h>

namespace tidewarden::platform {
namespace {

class LinuxProcessFacts final : public ProcessFacts {
 public:
  uid_t realUserId() override { return ::getuid(); }
  uid_t effectiveUserId() override { return ::geteuid(); }
};

}  // namespace

std::unique_ptr<ProcessFacts> makeLinuxProcessFacts() { return std::make_unique<LinuxProcessFacts>(); }

}  // namespace tidewarden::platform
