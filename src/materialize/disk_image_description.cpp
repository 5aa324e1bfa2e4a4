// Reading hdiutil's description of a disk image (imageinfo -plist).
#include "materialize/disk_image_description.h"

#include "platform/property_list.h"

namespace tidewarden::materialize {

bool isDiskImageDescription(std::string_view output) {
  const auto plist = platform::PropertyList::parse(output, kImageDescriptionLimitBytes);
  return plist && plist->root().type() == platform::PlistType::dictionary;
}

}  // namespace tidewarden::materialize
