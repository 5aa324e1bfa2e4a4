// Free space of the data volume, the one measurement every installer-storage report shows.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace tidewarden::storage {

// Free bytes of "/System/Volumes/Data", or of "/" when that cannot be measured (a
// system without a separate data volume). Nothing when neither can: callers report
// the measurement as missing, never as plenty.
std::optional<std::int64_t> dataVolumeFreeBytes(const platform::Platform& platform);

}  // namespace tidewarden::storage
