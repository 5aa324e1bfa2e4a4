// A platform bundle for tests.
#include "support/test_platform.h"

#include <fcntl.h>

#include <cstdlib>

namespace tidewarden::testing {

TestPlatform::TestPlatform(std::vector<platform::TrustAnchor> anchors, std::string selfExecutable,
                           std::function<std::timespec()> wallClock)
    : root_(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
  if (!root_) std::abort();
  codeSigning_ = std::make_unique<platform::CodeSigning>(
      platform::CodeSigningOptions{std::move(anchors), &root_, std::move(selfExecutable), std::move(wallClock)});
  launcher_ = platform::makeProcessLauncher(root_);
  platform_ = std::make_unique<platform::Platform>(
      platform::Platform{root_, clock, facts, *codeSigning_, *launcher_, smc, power, freeSpace, signals, diskArbitration});
}

}  // namespace tidewarden::testing
