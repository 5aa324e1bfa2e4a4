// Fuzz target: the reader of hdiutil's attached-image list (info -plist). Images that
// read have well-formed paths and mount points and non-empty devices; built back into a
// list of the same shape, they read back as their canonical spellings (equal, except
// that canonicalization removes one Data-volume prefix per pass). A list that does not
// read carries the unsupported-result message or a malformed-path refusal.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/property_list.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"
#include "storage/tool_output_readers.h"

namespace {

namespace storage = tidewarden::storage;
using tidewarden::fuzz::printable;
using tidewarden::platform::PropertyList;

bool isWellFormed(const std::string& path) { return storage::pathComponents(path).has_value(); }

std::vector<storage::PreparationAttachedImage> canonicalAgain(std::vector<storage::PreparationAttachedImage> images) {
  for (storage::PreparationAttachedImage& image : images) {
    image.imagePath = storage::canonicalPath(image.imagePath);
    for (std::string& mount : image.mounts) mount = storage::canonicalPath(mount);
  }
  return images;
}

// One entity per device, then one per mount point with an empty device (skipped on reading).
std::string rebuilt(const std::vector<storage::PreparationAttachedImage>& images) {
  PropertyList list = PropertyList::array();
  for (const storage::PreparationAttachedImage& image : images) {
    PropertyList entities = PropertyList::array();
    for (const std::string& device : image.devices) {
      PropertyList entity = PropertyList::dictionary();
      entity.set("dev-entry", PropertyList::string(device));
      entities.append(std::move(entity));
    }
    for (const std::string& mount : image.mounts) {
      PropertyList entity = PropertyList::dictionary();
      entity.set("dev-entry", PropertyList::string(""));
      entity.set("mount-point", PropertyList::string(mount));
      entities.append(std::move(entity));
    }
    PropertyList record = PropertyList::dictionary();
    record.set("image-path", PropertyList::string(image.imagePath));
    record.set("system-entities", std::move(entities));
    list.append(std::move(record));
  }
  PropertyList root = PropertyList::dictionary();
  root.set("images", std::move(list));
  return root.toXml();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const storage::AttachedImagesAnswer answer = storage::readAttachedImageList(bytes);
  if (answer.unknownReason) {
    const std::string& reason = *answer.unknownReason;
    FUZZ_CHECK(reason == storage::kAttachedImagesUnsupportedMessage || reason.rfind("Malformed preparation path: ", 0) == 0,
               "an unlisted reason: " + printable(reason));
    FUZZ_CHECK(answer.images.empty(), "images returned beside a reason");
    return 0;
  }
  for (const storage::PreparationAttachedImage& image : answer.images) {
    FUZZ_CHECK(isWellFormed(image.imagePath), "a malformed image path: " + printable(image.imagePath));
    for (const std::string& mount : image.mounts) {
      FUZZ_CHECK(isWellFormed(mount), "a malformed mount point: " + printable(mount));
    }
    for (const std::string& device : image.devices) FUZZ_CHECK(!device.empty(), "an empty device was kept");
  }
  const std::string written = rebuilt(answer.images);
  const storage::AttachedImagesAnswer reread = storage::readAttachedImageList(written);
  FUZZ_CHECK(!reread.unknownReason && reread.images == canonicalAgain(answer.images),
             "images built back read differently: " + printable(bytes) + "\n  written: " + printable(written));
  return 0;
}
