// Disk Arbitration on Linux: no sessions, so mount approval is reported unavailable.
#include "platform/linux/linux_disk_arbitration.h"

namespace tidewarden::platform {
namespace {

class LinuxDiskArbitration final : public DiskArbitration {
 public:
  std::unique_ptr<DiskArbitrationSession> createSession(SerialQueue&) override { return nullptr; }
};

}  // namespace

std::unique_ptr<DiskArbitration> makeLinuxDiskArbitration() { return std::make_unique<LinuxDiskArbitration>(); }

}  // namespace tidewarden::platform
