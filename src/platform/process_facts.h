// Facts about the running process and the machine that the helper reports.
#pragma once

#include <sys/types.h>

namespace tidewarden::platform {

class ProcessFacts {
 public:
  virtual ~ProcessFacts() = default;
  virtual uid_t realUserId() = 0;
  virtual uid_t effectiveUserId() = 0;
};

}  // namespace tidewarden::platform
