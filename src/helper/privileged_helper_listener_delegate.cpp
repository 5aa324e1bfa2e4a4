// Decides, connection by connection, who is admitted and what they are given.
#include "helper/privileged_helper_listener_delegate.h"

#include "helper/privileged_helper_service.h"

namespace tidewarden::helper {

PrivilegedHelperListenerDelegate::PrivilegedHelperListenerDelegate(
    std::shared_ptr<const ClientCodeValidator> validator, std::shared_ptr<HelperEngines> engines)
    : validator_(std::move(validator)), engines_(std::move(engines)) {}

bool PrivilegedHelperListenerDelegate::shouldAcceptNewConnection(platform::IncomingConnection& connection) {
  if (!validator_->validate(connection.processIdentifier())) return false;
  connection.setExportedInterface(PrivilegedHelperService::exportedInterface());
  connection.setExportedObject(std::make_shared<PrivilegedHelperService>(engines_, validator_->runtimeStamp()));
  connection.setInvalidationHandler([] {});
  connection.setInterruptionHandler([] {});
  connection.resume();
  return true;
}

}  // namespace tidewarden::helper
