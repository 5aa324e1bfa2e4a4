// The quarantine folders and their manifests: where they live, who may have written them, durable writes.
#include "quarantine/quarantine_manifest.h"

#include <fcntl.h>

#include <cerrno>
#include <stdexcept>

#include "platform/directory_entries.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "quarantine/background_quarantine_error.h"
#include "quarantine/quarantine_paths.h"

namespace tidewarden::quarantine {
namespace {

using Error = BackgroundQuarantineError;
using platform::SafeName;

constexpr mode_t kManifestMode = 0600;

std::runtime_error platformError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + platform::errnoText(err));
}

std::string manifestPath(const std::string& folderPath) { return folderPath + "/" + std::string(kManifestName); }

}  // namespace

std::string quarantineFolderPath(std::string_view id) { return std::string(kQuarantineRoot) + "/" + std::string(id); }

bool isPrivateFolder(const platform::UniqueFd& root, int fd) { return platform::isPrivateFolder(root.get(), fd); }

void syncFolder(int fd, const std::string& path) {
  if (!platform::syncFile(fd)) throw platformError("Cannot save the changes in " + path, errno);
}

std::optional<QuarantineManifest> readManifest(int folderFd, const std::string& folderPath, const std::string& id) {
  const std::string recordPath = manifestPath(folderPath);
  const platform::UniqueFd file = platform::openAt(folderFd, *SafeName::make(kManifestName), O_RDONLY | O_NONBLOCK);
  if (!file) {
    if (errno == ENOENT) return std::nullopt;
    throw platformError("Cannot read the quarantine record " + recordPath, errno);
  }
  const auto fileStatus = platform::entryStatusOf(file.get());
  if (!fileStatus || fileStatus->kind != platform::EntryKind::regular) throw Error(Error::Case::invalidQuarantineID);
  std::string text;
  if (!platform::readAll(file.get(), text, kMaxManifestBytes)) {
    throw platformError("Cannot read the quarantine record " + recordPath, errno);
  }
  return decodeManifest(text, folderPath, id);
}

QuarantineManifest decodeManifest(std::string_view text, const std::string& folderPath, const std::string& id) {
  QuarantineManifest manifest = platform::json::decodeDocument<QuarantineManifest>(text);
  if (manifest.id != id) throw Error(Error::Case::invalidQuarantineID);
  for (const MoveRecord& record : manifest.records) {
    const std::string name = lastComponent(record.quarantined);
    const bool inFolder = parentPath(record.quarantined) == folderPath && SafeName::make(name) &&
                          name != kManifestName && name != kManifestPendingName;
    const bool absolute = record.original.size() > 1 && record.original == standardizedPath(record.original) &&
                          record.original.starts_with('/');
    if (!inFolder || !absolute) throw Error(Error::Case::invalidQuarantineID);
  }
  return manifest;
}

void writeManifest(int folderFd, const std::string& folderPath, const QuarantineManifest& manifest, bool first) {
  const auto bytes = platform::json::encode(platform::json::encodeValue(manifest));
  if (!bytes) throw Error(Error::Case::quarantineFailed);
  const SafeName name = *SafeName::make(kManifestName);
  const SafeName pending = *SafeName::make(kManifestPendingName);
  const bool written =
      first ? platform::createFileAtomically(folderFd, name, pending, *bytes, kManifestMode)
            : platform::replaceFileAtomically(folderFd, name.str(), pending.str(), *bytes, kManifestMode) ==
                  platform::ReplaceResult::replaced;
  if (!written) throw platformError("Cannot write the quarantine record " + manifestPath(folderPath), errno);
  syncFolder(folderFd, folderPath);
}

}  // namespace tidewarden::quarantine
