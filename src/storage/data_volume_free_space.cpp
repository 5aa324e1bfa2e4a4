// Free space of the data volume, the one measurement every installer-storage report shows.
#include "storage/data_volume_free_space.h"

#include "platform/free_space.h"

namespace tidewarden::storage {

std::optional<std::int64_t> dataVolumeFreeBytes(const platform::Platform& platform) {
  if (auto bytes = platform.freeSpace.freeBytes("/System/Volumes/Data")) return bytes;
  return platform.freeSpace.freeBytes("/");
}

}  // namespace tidewarden::storage
