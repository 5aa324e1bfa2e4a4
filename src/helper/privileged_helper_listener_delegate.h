// Decides, connection by connection, who is admitted and what they are given.
#pragma once

#include <memory>

#include "helper/client_code_validator.h"
#include "helper/helper_engines.h"
#include "platform/ipc_listener.h"

namespace tidewarden::helper {

class PrivilegedHelperListenerDelegate final : public platform::ListenerDelegate {
 public:
  PrivilegedHelperListenerDelegate(std::shared_ptr<const ClientCodeValidator> validator,
                                   std::shared_ptr<HelperEngines> engines);

  // Admits only the product's application (see ClientCodeValidator). A refused
  // connection is left untouched: nothing exported, nothing sent. An admitted one gets
  // its own service object carrying a copy of the runtime stamp.
  bool shouldAcceptNewConnection(platform::IncomingConnection& connection) override;

 private:
  const std::shared_ptr<const ClientCodeValidator> validator_;
  const std::shared_ptr<HelperEngines> engines_;
};

}  // namespace tidewarden::helper
