// The test for a package that is at the same time a XAR archive and a UDIF disk image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tidewarden::materialize {

// Both the XAR header and the UDIF trailer ("koly" block) are read in blocks of this size.
inline constexpr std::size_t kHybridBlockBytes = 512;

// `header` is the first 512 bytes of the package, `trailer` its last 512 bytes, and
// `packageBytes` its size: a hybrid begins with "xar!", its last block begins with
// "koly", and it is at least one block long. Blocks of another size are not a hybrid.
bool isHybridPackage(std::string_view header, std::string_view trailer, std::int64_t packageBytes);

}  // namespace tidewarden::materialize
