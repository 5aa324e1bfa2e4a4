// Fuzz target: the payload's asset metadata property list. An identity that reads has a
// version and build of the accepted shapes, and a one-asset list built from it reads back
// as the same identity; a refusal is one of the four sentences of the reader.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "materialize/macos_identity_patterns.h"
#include "materialize/payload_metadata.h"
#include "platform/property_list.h"

namespace {

namespace materialize = tidewarden::materialize;
using tidewarden::fuzz::printable;
using tidewarden::platform::PropertyList;

const std::set<std::string> kRefusals{
    "The macOS payload metadata is empty or exceeds the size limit.",
    "The macOS payload does not contain a supported Assets list.",
    "An OS asset is missing a valid OSVersion or Build. The installer app version is not a substitute.",
    "The payload contains conflicting macOS versions or builds; it cannot be safely matched to the selected "
    "installer.",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  materialize::InstallerPayloadIdentity identity;
  try {
    identity = materialize::parsePayloadMetadata(bytes);
  } catch (const materialize::InstallerPayloadIdentityError& error) {
    FUZZ_CHECK(kRefusals.contains(error.what()), "an unlisted refusal: " + printable(error.what()));
    return 0;
  }
  FUZZ_CHECK(materialize::isMacOSVersion(identity.version) && materialize::isMacOSBuild(identity.build),
             "an identity of the wrong shape: " + printable(identity.version + " " + identity.build));
  PropertyList asset = PropertyList::dictionary();
  asset.set("OSVersion", PropertyList::string(identity.version));
  asset.set("Build", PropertyList::string(identity.build));
  PropertyList assets = PropertyList::array();
  assets.append(std::move(asset));
  PropertyList root = PropertyList::dictionary();
  root.set("Assets", std::move(assets));
  FUZZ_CHECK(materialize::parsePayloadMetadata(root.toXml()) == identity, "the identity did not read back");
  return 0;
}
