// Fuzz target: the reader of `hdiutil attach -plist` output. An attachment that reads has
// devices under /dev/ and well-formed canonical mount points, and an answer built back from
// it reads as the same attachment; one that does not read says why.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "materialize/payload_attachment.h"
#include "platform/property_list.h"
#include "storage/safe_paths.h"

namespace {

namespace materialize = tidewarden::materialize;
using tidewarden::fuzz::printable;
using tidewarden::platform::PropertyList;

// Devices first, each without a mount point, then the mount points on devices of their own.
std::string rebuilt(const materialize::PayloadAttachment& attachment) {
  PropertyList entities = PropertyList::array();
  for (const std::string& device : attachment.devices) {
    PropertyList entity = PropertyList::dictionary();
    entity.set("dev-entry", PropertyList::string(device));
    entities.append(std::move(entity));
  }
  PropertyList root = PropertyList::dictionary();
  root.set("system-entities", std::move(entities));
  return root.toXml();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  std::string problem;
  const auto attachment = materialize::readPayloadAttachment(bytes, problem);
  if (!attachment) {
    FUZZ_CHECK(!problem.empty(), "refused without a reason: " + printable(bytes));
    return 0;
  }
  FUZZ_CHECK(!attachment->devices.empty(), "an attachment without devices");
  for (const std::string& device : attachment->devices) {
    FUZZ_CHECK(device.rfind("/dev/", 0) == 0 && device.size() > 5, "a device outside /dev: " + printable(device));
  }
  for (const std::string& mount : attachment->mountPoints) {
    FUZZ_CHECK(tidewarden::storage::pathComponents(mount).has_value(), "a malformed mount point: " + printable(mount));
  }
  std::string again;
  const auto reread = materialize::readPayloadAttachment(rebuilt(*attachment), again);
  FUZZ_CHECK(reread && reread->devices == attachment->devices && reread->mountPoints.empty(),
             "the devices did not read back: " + printable(bytes));
  return 0;
}
