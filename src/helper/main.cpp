// The production helper: runs as root on the real machine, no options; start-up logs on standard error.
#include <unistd.h>

#include <cstdlib>

#include "helper/helper_process.h"
#include "platform/development_anchor.h"
#include "platform/linux/linux_platform.h"

namespace {

// Named after the service name the application connects to.
constexpr const char* kSocketPath = "/run/com.ambergrove.Tidewarden.PrivilegedHelper.sock";

}  // namespace

int main() {
  using namespace tidewarden;
  try {
    platform::LinuxPlatform production(platform::developmentTrustAnchors());
    helper::HelperProcess process(production.platform(), kSocketPath);
    // The listener serves on its own threads; this thread has nothing left to do
    // until the service manager ends the process.
    for (;;) ::pause();
  } catch (...) {
    return EXIT_FAILURE;
  }
}
