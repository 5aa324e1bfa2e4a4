// The process facts that are the same on every platform the helper runs on.
#include "platform/process_facts.h"

#include <unistd.h>

namespace tidewarden::platform {

pid_t ProcessFacts::processIdentifier() { return ::getpid(); }

}  // namespace tidewarden::platform
