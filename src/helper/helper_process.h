// Start-up of the helper: listener, client validator, delegate, engines.
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace tidewarden::platform {
class Listener;
}

namespace tidewarden::helper {

class ClientCodeValidator;
class PrivilegedHelperListenerDelegate;

// Owns the process-wide objects of a running helper. The constructor performs
// start-up in order: create the listener on `socketPath`, end the tools a previous
// life left running (logged to standard error), build the validator (own
// signing identity and runtime stamp, read once), create the engines and queue the
// fan restart recovery on the fan queue and the quarantine restart recovery on the
// utility queue, create the delegate, set it and resume the
// listener. From then on connections are admitted or refused on the
// listener's threads. Throws std::runtime_error when the socket cannot be created.
//
// Production never destroys it (launchd ends the process); the simulator and tests
// do, which stops listening and closes every connection.
class HelperProcess {
 public:
  HelperProcess(platform::Platform& platform, std::string socketPath);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  const ClientCodeValidator& validator() const { return *validator_; }

 private:
  std::unique_ptr<platform::Listener> listener_;
  std::shared_ptr<const ClientCodeValidator> validator_;
  std::unique_ptr<PrivilegedHelperListenerDelegate> delegate_;
};

}  // namespace tidewarden::helper
