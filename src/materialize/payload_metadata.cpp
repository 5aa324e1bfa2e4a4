// The macOS version and build that a payload's software-update asset metadata names, and the match with the request.
#include "materialize/payload_metadata.h"

#include <optional>

#include "materialize/macos_identity_patterns.h"
#include "platform/property_list.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::materialize {

InstallerPayloadIdentity parsePayloadMetadata(std::string_view bytes) {
  using Error = InstallerPayloadIdentityError;
  if (bytes.empty() || bytes.size() > kPayloadMetadataLimitBytes) {
    throw Error::invalid("The macOS payload metadata is empty or exceeds the size limit.");
  }
  const auto plist = platform::PropertyList::parse(bytes, kPayloadMetadataLimitBytes);
  const platform::PlistNode assets = plist ? plist->root().get("Assets") : platform::PlistNode();
  bool supported = plist && plist->root().type() == platform::PlistType::dictionary &&
                   assets.type() == platform::PlistType::array && assets.size() <= kMaxPayloadAssets;
  const std::vector<platform::PlistNode> elements = supported ? assets.elements() : std::vector<platform::PlistNode>{};
  for (const platform::PlistNode& asset : elements) {
    supported = supported && asset.type() == platform::PlistType::dictionary;
  }
  if (!supported) throw Error::invalid("The macOS payload does not contain a supported Assets list.");

  std::optional<InstallerPayloadIdentity> found;
  bool conflicting = false;
  for (const platform::PlistNode& asset : elements) {
    const auto version = asset.get("OSVersion").asString();
    const auto build = asset.get("Build").asString();
    if (!version || !build || !isMacOSVersion(*version) || !isMacOSBuild(*build)) {
      throw Error::invalid("An OS asset is missing a valid OSVersion or Build. The installer app version is not a "
                           "substitute.");
    }
    const InstallerPayloadIdentity identity{*version, *build};
    if (found && *found != identity) conflicting = true;
    if (!found) found = identity;
  }
  if (!found || conflicting) {
    throw Error::invalid("The payload contains conflicting macOS versions or builds; it cannot be safely matched to "
                         "the selected installer.");
  }
  return *found;
}

void matchExpectedIdentity(const InstallerPayloadIdentity& expected, const InstallerPayloadIdentity& actual) {
  if (expected == actual) return;
  throw storage::InstallerSafetyError::refused("Expected macOS " + expected.version + " (" + expected.build +
                                               "), but the actual macOS payload contains " + actual.version + " (" +
                                               actual.build + "). The saved package was not accepted.");
}

}  // namespace tidewarden::materialize
