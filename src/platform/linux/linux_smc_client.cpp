// The controller's user client on Linux, where there is none.
#include "platform/linux/linux_smc_client.h"

namespace tidewarden::platform {
namespace {

class LinuxSmcClient final : public SmcClient {
 public:
  OpenResult open() override { return {OpenStatus::serviceUnavailable, nullptr}; }
};

}  // namespace

std::unique_ptr<SmcClient> makeLinuxSmcClient() { return std::make_unique<LinuxSmcClient>(); }

}  // namespace tidewarden::platform
