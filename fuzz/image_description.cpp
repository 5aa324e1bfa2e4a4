// Fuzz target: hdiutil imageinfo -plist output. It is a description exactly when it parses
// as a property list whose top level is a dictionary, and stays one when written again as
// XML and as a binary list.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "materialize/disk_image_description.h"
#include "platform/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace materialize = tidewarden::materialize;
  using tidewarden::platform::PlistType;
  using tidewarden::platform::PropertyList;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const bool described = materialize::isDiskImageDescription(bytes);
  const auto plist = PropertyList::parse(bytes, materialize::kImageDescriptionLimitBytes);
  FUZZ_CHECK(described == (plist && plist->root().type() == PlistType::dictionary),
             "the verdict differs from the parse: " + tidewarden::fuzz::printable(bytes));
  if (described) {
    FUZZ_CHECK(materialize::isDiskImageDescription(plist->toXml()), "the XML form is not a description");
    FUZZ_CHECK(materialize::isDiskImageDescription(plist->toBinary()), "the binary form is not a description");
  }
  return 0;
}
