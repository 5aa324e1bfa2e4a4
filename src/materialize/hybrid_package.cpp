// The test for a package that is at the same time a XAR archive and a UDIF disk image.
#include "materialize/hybrid_package.h"

namespace tidewarden::materialize {

bool isHybridPackage(std::string_view header, std::string_view trailer, std::int64_t packageBytes) {
  return packageBytes >= static_cast<std::int64_t>(kHybridBlockBytes) && header.size() == kHybridBlockBytes &&
         trailer.size() == kHybridBlockBytes && header.substr(0, 4) == "xar!" && trailer.substr(0, 4) == "koly";
}

}  // namespace tidewarden::materialize
