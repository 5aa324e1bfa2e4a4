// The production helper: runs as root on the real machine, no options, no log.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "helper/helper_process.h"
#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/development_anchor.h"
#include "platform/free_space.h"
#include "platform/linux/linux_account_database.h"
#include "platform/linux/linux_process_facts.h"
#include "platform/linux/linux_smc_client.h"
#include "platform/platform.h"
#include "platform/process_launcher.h"
#include "platform/process_signals.h"
#include "platform/system_power.h"

namespace {

// Named after the service name the application connects to.
constexpr const char* kSocketPath = "/run/com.ambergrove.Tidewarden.PrivilegedHelper.sock";

}  // namespace

int main() {
  using namespace tidewarden;
  platform::UniqueFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) return EXIT_FAILURE;
  auto clock = platform::makeSystemClock();
  auto facts = platform::makeLinuxProcessFacts();
  platform::CodeSigning codeSigning({platform::developmentTrustAnchors(), &root});
  auto launcher = platform::makeProcessLauncher(root);
  auto smc = platform::makeLinuxSmcClient();
  auto power = platform::makeUnavailableSystemPower();
  auto freeSpace = platform::makeVolumeFreeSpace(root);
  auto signals = platform::makeProcessSignals();
  auto accounts = platform::makeLinuxAccountDatabase();
  platform::Platform platform{root,   *clock, *facts,     codeSigning, *launcher,
                              *smc,   *power, *freeSpace, *signals,    *accounts};

  try {
    helper::HelperProcess process(platform, kSocketPath);
    // The listener serves on its own threads; this thread has nothing left to do
    // until the service manager ends the process.
    for (;;) ::pause();
  } catch (...) {
    return EXIT_FAILURE;
  }
}
