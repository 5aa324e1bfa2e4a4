// Closing half of the descriptor owner.
#include "platform/unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tidewarden::platform {

void UniqueFd::reset(int fd) {
  int old = fd_;
  fd_ = fd;
  if (old >= 0 && ::close(old) != 0 && errno == EBADF) std::abort();
}

}  // namespace tidewarden::platform
