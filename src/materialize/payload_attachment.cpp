// Reading what `hdiutil attach -plist` says it attached.
#include "materialize/payload_attachment.h"

#include "platform/property_list.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::materialize {

std::optional<PayloadAttachment> readPayloadAttachment(std::string_view output, std::string& problem) {
  constexpr std::size_t kLimit = 2097152;
  const auto plist = platform::PropertyList::parse(output, kLimit);
  const platform::PlistNode entities = plist ? plist->root().get("system-entities") : platform::PlistNode();
  if (!plist || plist->root().type() != platform::PlistType::dictionary ||
      entities.type() != platform::PlistType::array || entities.size() == 0) {
    problem = "hdiutil did not list the attached entities.";
    return std::nullopt;
  }
  PayloadAttachment attachment;
  for (const platform::PlistNode& entity : entities.elements()) {
    const auto device = entity.get("dev-entry").asString();
    if (entity.type() != platform::PlistType::dictionary || !device || device->rfind("/dev/", 0) != 0 ||
        device->size() == 5 || device->find('\n') != std::string::npos) {
      problem = "hdiutil listed an entity without a device.";
      return std::nullopt;
    }
    attachment.devices.push_back(*device);
    const platform::PlistNode mount = entity.get("mount-point");
    if (!mount) continue;
    const auto text = mount.asString();
    if (!text) {
      problem = "hdiutil listed a mount point that is not text.";
      return std::nullopt;
    }
    if (text->empty()) continue;
    try {
      attachment.mountPoints.push_back(storage::canonicalPath(*text));
    } catch (const storage::InstallerSafetyError& error) {
      problem = error.what();
      return std::nullopt;
    }
  }
  return attachment;
}

}  // namespace tidewarden::materialize
