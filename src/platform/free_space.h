// Free space of the volume that holds a logical path.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/unique_fd.h"

namespace tidewarden::platform {

class FreeSpace {
 public:
  virtual ~FreeSpace() = default;
  // Bytes that can still be written on the volume holding `logicalPath` (an absolute
  // path walked from the platform's root without following a symbolic link). Nothing,
  // with errno set, when the path cannot be opened or the volume cannot be measured;
  // callers treat that as "not enough", never as plenty.
  virtual std::optional<std::int64_t> freeBytes(std::string_view logicalPath) = 0;
};

// statvfs of the volume, reached through `root` (the descriptor standing for "/"; it
// must outlive the object). Counts the blocks available to ordinary users, not the
// reserve only root may fill, so that the helper never plans on space it should leave.
std::unique_ptr<FreeSpace> makeVolumeFreeSpace(const UniqueFd& root);

}  // namespace tidewarden::platform
