// Reading hdiutil's description of a disk image (imageinfo -plist).
#pragma once

#include <string_view>

namespace tidewarden::materialize {

// Largest description accepted; the runner already caps the capture at 2 MiB.
inline constexpr std::size_t kImageDescriptionLimitBytes = 2097152;

// True when `output` is a property list (XML or binary) whose top level is a
// dictionary: hdiutil's description of something it recognises as a disk image.
bool isDiskImageDescription(std::string_view output);

}  // namespace tidewarden::materialize
