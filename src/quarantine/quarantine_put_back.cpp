// Putting quarantined files back where they were: one file, never over anything, and the roll-back of a whole quarantine.
#include "quarantine/quarantine_put_back.h"

#include <algorithm>
#include <cerrno>

#include "platform/directory_entries.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/safe_name.h"
#include "quarantine/quarantine_manifest.h"
#include "quarantine/quarantine_paths.h"

namespace tidewarden::quarantine {
namespace {

using Outcome = PutBack::Outcome;
using platform::SafeName;

// An original's missing parents are made as the system makes folders.
constexpr mode_t kRestoredParentMode = 0755;
// More entries than a quarantine ever holds: a folder listing beyond it is not emptied.
constexpr std::size_t kMaxFolderEntries = 64;

bool stillInFolder(int folderFd, const SafeName& name) {
  return platform::entryStatusAt(folderFd, name) || errno != ENOENT;
}

}  // namespace

PutBack putBack(const platform::UniqueFd& root, int folderFd, const MoveRecord& record) {
  const auto quarantined = SafeName::make(lastComponent(record.quarantined));
  const auto original = SafeName::make(lastComponent(record.original));
  if (!quarantined || !original) return {Outcome::failed, "its record is invalid"};
  if (!platform::entryStatusAt(folderFd, *quarantined)) {
    if (errno == ENOENT) return {Outcome::notInQuarantine, {}};
    return {Outcome::failed, "Cannot examine " + record.quarantined + ": " + platform::errnoText(errno)};
  }
  const std::optional<bool> taken = entryExists(root, record.original);
  if (!taken) return {Outcome::failed, "Tidewarden could not tell whether its original place is free"};
  // A restore running at the same time may have just put it there.
  if (*taken) return {stillInFolder(folderFd, *quarantined) ? Outcome::placeTaken : Outcome::notInQuarantine, {}};
  const std::string parent = parentPath(record.original);
  const platform::UniqueFd parentFd =
      platform::openOrMakeDirectoriesBeneath(root, walkPath(parent), kRestoredParentMode);
  if (!parentFd) return {Outcome::failed, "Cannot create the folder " + parent + ": " + platform::errnoText(errno)};
  if (!platform::moveWithoutReplacing(folderFd, *quarantined, parentFd.get(), *original)) {
    const int err = errno;
    // Taken by a restore running at the same time only if the file is really gone: an
    // ENOENT can also mean that the original's folder was removed meanwhile.
    if ((err == ENOENT || err == EEXIST) && !stillInFolder(folderFd, *quarantined)) {
      return {Outcome::notInQuarantine, {}};
    }
    if (err == EEXIST) return {Outcome::placeTaken, {}};
    return {Outcome::failed,
            "Cannot move " + record.quarantined + " back to " + record.original + ": " + platform::errnoText(err)};
  }
  if (!platform::syncFile(parentFd.get()) || !platform::syncFile(folderFd)) {
    return {Outcome::putBack, "The move of " + record.original + " back may not survive a power loss: " +
                                  platform::errnoText(errno) + "."};
  }
  return {Outcome::putBack, {}};
}

void rollBackQuarantine(const platform::UniqueFd& root, int quarantineRootFd, int folderFd,
                        QuarantineManifest manifest) {
  const std::string folderPath = quarantineFolderPath(manifest.id);
  std::vector<MoveRecord> left;
  for (auto record = manifest.records.rbegin(); record != manifest.records.rend(); ++record) {
    const Outcome outcome = putBack(root, folderFd, *record).outcome;
    if (outcome == Outcome::placeTaken || outcome == Outcome::failed) {
      left.insert(left.begin(), MoveRecord{record->original, record->quarantined, MoveState::moved});
    }
  }
  // Gone only when the manifest is all the folder still holds.
  const auto entries = platform::listDirectory(folderFd, kMaxFolderEntries);
  const bool onlyManifest = entries && !entries->truncated &&
                            std::all_of(entries->names.begin(), entries->names.end(), [](const std::string& name) {
                              return name == kManifestName || name == kManifestPendingName;
                            });
  if (left.empty() && onlyManifest) {
    platform::removeFileAt(folderFd, std::string(kManifestPendingName));
    if (platform::removeFileAt(folderFd, std::string(kManifestName)) || errno == ENOENT) {
      platform::syncFile(folderFd);
      if (platform::removeDirectoryAt(quarantineRootFd, manifest.id)) platform::syncFile(quarantineRootFd);
    }
    return;
  }
  manifest.records = std::move(left);
  manifest.state = QuarantineState::rolledBack;
  writeManifest(folderFd, folderPath, manifest, /*first=*/false);
}

}  // namespace tidewarden::quarantine
