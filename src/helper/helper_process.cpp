// Start-up of the helper: listener, client validator, delegate, engines.
#include "helper/helper_process.h"

#include <unistd.h>

#include "helper/client_code_validator.h"
#include "helper/helper_engines.h"
#include "helper/privileged_helper_listener_delegate.h"
#include "platform/code_signing.h"
#include "platform/file_io.h"
#include "platform/ipc_listener.h"
#include "platform/process_launcher.h"

namespace tidewarden::helper {

HelperProcess::HelperProcess(platform::Platform& platform, std::string socketPath) {
  listener_ = platform::Listener::create(socketPath);
  // Tools a previous life left running end before anything of this life starts one; the
  // log (standard error) says what was ended or is still in doubt.
  for (const std::string& line : platform.launcher.endToolsOfPreviousLife()) {
    platform::writeAll(STDERR_FILENO, "Tidewarden helper: " + line + "\n");
  }
  validator_ = ClientCodeValidator::makeForRunningHelper(platform.codeSigning);
  auto engines = std::make_shared<HelperEngines>(platform);
  // Fans a previous helper left held are returned to System on the fan queue; any
  // request queued behind it therefore sees the outcome.
  engines->onFanQueue([coordinator = &engines->fanControlCoordinator] { coordinator->recoverAfterRestart(); });
  // Quarantines a previous helper left half done are rolled back; quarantine and restore
  // requests wait until that has finished.
  engines->quarantineRecovery.schedule();
  engines->onUtilityQueue([recovery = &engines->quarantineRecovery] { recovery->run(); });
  delegate_ = std::make_unique<PrivilegedHelperListenerDelegate>(validator_, std::move(engines));
  listener_->setDelegate(delegate_.get());
  listener_->resume();
}

HelperProcess::~HelperProcess() {
  // The listener's threads call the delegate: stop them before it goes.
  listener_.reset();
}

}  // namespace tidewarden::helper
