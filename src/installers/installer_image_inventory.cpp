// The installer disk images attached from inside a bundle, read from hdiutil's attached-image inventory.
#include "installers/installer_image_inventory.h"

#include <algorithm>
#include <set>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "platform/system_tools.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::installers {
namespace {

using platform::PlistNode;
using platform::PlistType;
using storage::InstallerSafetyError;

constexpr std::string_view kDiskPrefix = "/dev/disk";
constexpr const char* kUnsupportedInventory =
    "The attached-image inventory is incomplete or unsupported. No image can be approved for release.";
constexpr const char* kIncompleteRecord = "An image record is incomplete; release could not be safely scoped.";
constexpr const char* kMountedInside =
    "A filesystem is mounted inside the selected installer application. Automatic release is not approved for this "
    "layout; no files or disks were changed.";
constexpr const char* kAmbiguousRoot = "The root virtual disk for this installer image is ambiguous. No release was approved.";
constexpr const char* kDuplicated =
    "Installer images are duplicated, share device identities, or exceed the scoped release limit. No release was "
    "approved.";
constexpr const char* kUnprotectedImage = "The image file is not a protected regular file inside the reviewed installer.";

bool digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool inside(const std::string& path, const std::string& directory) { return path.starts_with(directory + "/"); }

std::string canonicalOrRefuse(const std::string& path) {
  try {
    return storage::canonicalPath(path);
  } catch (const InstallerSafetyError&) {
    throw InstallerSafetyError::refused(kIncompleteRecord);
  }
}

struct ImageRecord {
  std::string path;
  PlistNode node;
  std::vector<std::pair<std::string, PlistNode>> entities;  // device, entity
  std::vector<std::string> mounts;
};

bool isPartitionMapHint(const PlistNode& entity) {
  const auto hint = entity.get("content-hint").asString();
  return hint == "GUID_partition_scheme" || hint == "Apple_partition_scheme" || hint == "FDisk_partition_scheme";
}

bool approvedLayout(const ImageRecord& image, const std::string& bundlePath) {
  const PlistNode& node = image.node;
  if (node.get("writeable").asBool() != false || node.get("system-image").asBool() != false ||
      node.get("image-encrypted").asBool() != false) {
    return false;
  }
  const PlistNode shadow = node.get("shadow-path");
  if (shadow.valid() && shadow.asString() != std::optional<std::string>("<none>")) return false;
  if (!image.path.ends_with(".dmg") || !inside(image.path, bundlePath + "/Contents")) return false;
  return std::all_of(image.mounts.begin(), image.mounts.end(),
                     [](const std::string& mount) { return inside(mount, "/Volumes"); });
}

}  // namespace

bool isWholeDiskDevice(std::string_view device) {
  return device.starts_with(kDiskPrefix) && digits(device.substr(kDiskPrefix.size()));
}

bool isDiskDevice(std::string_view device) {
  if (!device.starts_with(kDiskPrefix)) return false;
  std::string_view rest = device.substr(kDiskPrefix.size());
  std::size_t part = rest.find('s');
  if (!digits(rest.substr(0, part))) return false;
  while (part != std::string_view::npos) {
    rest = rest.substr(part + 1);
    part = rest.find('s');
    if (!digits(rest.substr(0, part))) return false;
  }
  return true;
}

std::string toolFailureText(const std::string& what, std::int32_t status, bool complete, const std::string& error) {
  std::string text = "Could not " + what + " (exit " + std::to_string(status) + ", complete=" +
                     (complete ? "true" : "false") + ").";
  const std::size_t first = error.find_first_not_of(" \t\r\n");
  if (first != std::string::npos) text += " " + error.substr(first, error.find_last_not_of(" \t\r\n") - first + 1);
  return text;
}

std::vector<PreparedInstallerAttachment> readInstallerAttachments(
    std::string_view plist, const std::string& bundlePath,
    const std::function<storage::InstallerFileIdentity(const std::string& imagePath)>& imageIdentity) {
  const auto list = platform::PropertyList::parse(plist, storage::kScopedCaptureLimitBytes);
  const PlistNode images = list ? list->root().get("images") : PlistNode();
  if (!list || list->root().type() != PlistType::dictionary || images.type() != PlistType::array ||
      images.size() > kInventoryImageLimit) {
    throw InstallerSafetyError::refused(kUnsupportedInventory);
  }
  std::vector<ImageRecord> records;
  for (const PlistNode& image : images.elements()) {
    if (image.type() != PlistType::dictionary) throw InstallerSafetyError::refused(kUnsupportedInventory);
    const auto path = image.get("image-path").asString();
    const PlistNode entities = image.get("system-entities");
    if (!path || entities.type() != PlistType::array) throw InstallerSafetyError::refused(kIncompleteRecord);
    ImageRecord record{canonicalOrRefuse(*path), image, {}, {}};
    for (const PlistNode& entity : entities.elements()) {
      const auto device = entity.type() == PlistType::dictionary ? entity.get("dev-entry").asString() : std::nullopt;
      if (!device || !isDiskDevice(*device)) throw InstallerSafetyError::refused(kIncompleteRecord);
      const PlistNode mount = entity.get("mount-point");
      if (mount.valid()) {
        const auto text = mount.asString();
        if (!text) throw InstallerSafetyError::refused(kIncompleteRecord);
        record.mounts.push_back(canonicalOrRefuse(*text));
      }
      record.entities.emplace_back(*device, entity);
    }
    records.push_back(std::move(record));
  }
  std::vector<PreparedInstallerAttachment> attachments;
  std::set<std::string> paths;
  std::set<std::string> devices;
  for (const ImageRecord& record : records) {
    for (const std::string& mount : record.mounts) {
      if (mount == bundlePath || inside(mount, bundlePath)) throw InstallerSafetyError::refused(kMountedInside);
    }
  }
  for (const ImageRecord& record : records) {
    if (!inside(record.path, bundlePath)) continue;
    if (!approvedLayout(record, bundlePath)) {
      throw InstallerSafetyError::refused(
          "An attached image belongs to this installer, but its read-only file/device layout is not approved for "
          "automatic release. No image was detached. Image: " + record.path);
    }
    std::vector<std::string> roots;
    for (const auto& [device, entity] : record.entities) {
      if (isWholeDiskDevice(device) && (record.entities.size() == 1 || isPartitionMapHint(entity))) {
        roots.push_back(device);
      }
    }
    if (roots.size() != 1) throw InstallerSafetyError::refused(kAmbiguousRoot);
    PreparedInstallerAttachment attachment;
    const PlistNode pid = record.node.get("hdid-pid");
    if (pid.valid()) {
      const auto value = pid.asInteger();
      if (!value || *value < 1 || *value > 2147483647) {
        throw InstallerSafetyError::refused("The image backing-process identity is invalid.");
      }
      attachment.backingPID = static_cast<std::int32_t>(*value);
    }
    attachment.display = {record.path, roots.front(), record.mounts};
    for (const auto& [device, entity] : record.entities) {
      attachment.devices.push_back(device);
      if (!devices.insert(device).second) throw InstallerSafetyError::refused(kDuplicated);
    }
    if (!paths.insert(record.path).second) throw InstallerSafetyError::refused(kDuplicated);
    attachment.identity = imageIdentity(record.path);
    attachments.push_back(std::move(attachment));
  }
  if (attachments.size() > kScopedReleaseLimit) throw InstallerSafetyError::refused(kDuplicated);
  return attachments;
}

std::vector<PreparedInstallerAttachment> inspectInstallerImages(const platform::Platform& platform,
                                                                const std::string& bundlePath) {
  const storage::ScopedCommandResult run = storage::runScopedCommand(platform, platform::tools::hdiutilInfo());
  if (!run.complete || run.status != 0) {
    throw InstallerSafetyError::refused(
        toolFailureText("read the attached-image inventory", run.status, run.complete, run.standardError));
  }
  return readInstallerAttachments(run.standardOutput, bundlePath, [&](const std::string& imagePath) {
    std::optional<platform::FileFacts> facts;
    try {
      const platform::UniqueFd file = storage::openFileBeneathApprovedRoot(platform.root, imagePath, bundlePath);
      facts = platform::fileFacts(file.get());
    } catch (const InstallerSafetyError&) {
      facts.reset();
    }
    if (!facts || !facts->regular || facts->size <= 0 || facts->owner != 0 || (facts->permissions & 0022) != 0) {
      throw InstallerSafetyError::refused(kUnprotectedImage);
    }
    return storage::fileIdentity(*facts);
  });
}

}  // namespace tidewarden::installers
