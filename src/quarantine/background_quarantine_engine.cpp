// Quarantine and restore of launch daemons: pinned, checked, no-overwrite moves recorded in a manifest.
#include "quarantine/background_quarantine_engine.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <stdexcept>

#include "platform/clock.h"
#include "platform/directory_entries.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "platform/process_facts.h"
#include "platform/process_signals.h"
#include "platform/system_tools.h"
#include "platform/uuid.h"
#include "quarantine/background_quarantine_error.h"
#include "quarantine/quarantine_paths.h"
#include "quarantine/quarantine_tool_runner.h"
#include "quarantine/startup_item_evaluation.h"

namespace tidewarden::quarantine {
namespace {

using Error = BackgroundQuarantineError;
using platform::SafeName;
using platform::UniqueFd;

constexpr std::array<std::string_view, 5> kProtectedPrefixes = {"/System/", "/usr/", "/bin/", "/sbin/",
                                                                "/Library/Apple/System/"};
constexpr std::array<std::string_view, 5> kMovablePrefixes = {"/Users/", "/Library/Application Support/",
                                                              "/private/tmp/", "/tmp/", "/var/tmp/"};
// Folders the helper makes: its own, private; an original's missing parents: as the
// system makes folders.
constexpr mode_t kQuarantineFolderMode = 0700;
constexpr mode_t kRestoredParentMode = 0755;
constexpr mode_t kManifestMode = 0600;

[[noreturn]] void refuse(Error::Case errorCase) { throw Error(errorCase); }

std::runtime_error platformError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + platform::errnoText(err));
}

SafeName nameOf(std::string_view path) {
  auto name = SafeName::make(lastComponent(path));
  if (!name) refuse(Error::Case::unsafePath);
  return *name;
}

// A quarantine folder (or the root above them) must be a directory of the owner of "/"
// that nobody else may write to: otherwise its manifest and files could have been put
// there by someone else. Reported, never repaired.
bool isPrivateFolder(const platform::UniqueFd& root, int fd) {
  const auto folder = platform::entryStatusOf(fd);
  const auto system = platform::entryStatusOf(root.get());
  return folder && system && folder->kind == platform::EntryKind::directory && folder->owner == system->owner &&
         (folder->permissions & 022) == 0;
}

enum class MoveOutcome { moved, missing };

// Moves the pinned file into the quarantine folder as `destination`, only if it is still
// the very file the evaluation judged in the very directory it judged: the directory is
// walked again, without links, and must be the pinned one (so a folder on the path that
// was renamed or replaced since cannot make the helper move some other file), the entry
// must be the pinned regular file, and nothing may exist at the destination. The moved
// object is checked once more afterwards; an object swapped in at the last instant is
// moved back and the move refused.
MoveOutcome moveIntoQuarantine(const UniqueFd& root, const PinnedFile& file, int folderFd, const SafeName& destination) {
  const LocatedEntry now = locateEntry(root, file.path);
  if (!now.directory) {
    if (now.missingDirectory()) return MoveOutcome::missing;
    refuse(Error::Case::quarantineFailed);
  }
  const auto directory = platform::entryStatusOf(now.directory.get());
  if (!directory || !directory->sameObject(file.directoryIdentity)) refuse(Error::Case::quarantineFailed);
  if (!now.status) {
    if (now.error == ENOENT) return MoveOutcome::missing;
    refuse(Error::Case::quarantineFailed);
  }
  if (now.status->kind != platform::EntryKind::regular || !now.status->unchangedSince(file.identity)) {
    refuse(Error::Case::quarantineFailed);
  }
  if (platform::entryStatusAt(folderFd, destination) || errno != ENOENT) refuse(Error::Case::quarantineFailed);
  if (!platform::moveWithoutReplacing(now.directory.get(), *now.name, folderFd, destination)) {
    if (errno == EEXIST) refuse(Error::Case::quarantineFailed);
    throw platformError("Cannot move " + file.path + " into quarantine", errno);
  }
  const auto moved = platform::entryStatusAt(folderFd, destination);
  if (!moved || !moved->sameContentsAs(file.identity)) {
    platform::moveWithoutReplacing(folderFd, destination, now.directory.get(), *now.name);
    refuse(Error::Case::quarantineFailed);
  }
  return MoveOutcome::moved;
}

// Undoes recorded moves, last first, where the quarantined file is still there and its
// original place is free. Errors are ignored: the failure that caused the roll-back is
// what the caller reports.
void rollBack(const UniqueFd& root, int folderFd, const std::vector<MoveRecord>& records) {
  for (auto record = records.rbegin(); record != records.rend(); ++record) {
    const auto quarantined = SafeName::make(lastComponent(record->quarantined));
    const auto original = SafeName::make(lastComponent(record->original));
    if (!quarantined || !original || !platform::entryStatusAt(folderFd, *quarantined)) continue;
    if (entryExists(root, record->original) != false) continue;
    const UniqueFd parent =
        platform::openOrMakeDirectoriesBeneath(root, walkPath(parentPath(record->original)), kRestoredParentMode);
    if (parent) platform::moveWithoutReplacing(folderFd, *quarantined, parent.get(), *original);
  }
}

std::string manifestPath(const std::string& folderPath) { return folderPath + "/" + std::string(kManifestName); }

}  // namespace

bool isMovableLocation(std::string_view path) {
  const auto startsWith = [&](std::string_view prefix) { return path.starts_with(prefix); };
  return std::none_of(kProtectedPrefixes.begin(), kProtectedPrefixes.end(), startsWith) &&
         std::any_of(kMovablePrefixes.begin(), kMovablePrefixes.end(), startsWith);
}

std::vector<pid_t> processesRunning(std::string_view listing, const std::vector<std::string>& paths, pid_t ownPid) {
  constexpr std::string_view kSpace = " \t\r\f\v";
  std::vector<pid_t> pids;
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string_view::npos) end = listing.size();
    std::string_view line = listing.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find_first_not_of(kSpace);
    if (first == std::string_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(kSpace) - first + 1);
    const std::size_t split = line.find_first_of(" \t");
    const std::string_view pidText = line.substr(0, split);
    std::string_view arguments = split == std::string_view::npos ? std::string_view() : line.substr(split + 1);
    if (const std::size_t text = arguments.find_first_not_of(kSpace); text != std::string_view::npos) {
      arguments = arguments.substr(text);
    } else {
      arguments = {};
    }
    std::int32_t pid = 0;
    const auto parsed = std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
    if (parsed.ec != std::errc() || parsed.ptr != pidText.data() + pidText.size()) continue;
    if (pid <= 1 || pid == ownPid) continue;
    const bool runsOne = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
      return arguments.find(path) != std::string_view::npos;
    });
    if (runsOne && std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
  }
  return pids;
}

std::string BackgroundQuarantineEngine::quarantine(const BackgroundQuarantineRequest& request) {
  // 1. Judged on its own evidence; refusals change nothing.
  const InspectedStartupItem item = evaluateStartupItem(platform_, request);
  checkEvidence(item);

  // 2. A new private folder for this quarantine.
  const std::string id = platform::makeUuidString();
  const std::string folderPath = std::string(kQuarantineRoot) + "/" + id;
  const UniqueFd quarantineRoot =
      platform::openOrMakeDirectoriesBeneath(platform_.root, kQuarantineRoot, kQuarantineFolderMode);
  if (!quarantineRoot) throw platformError("Cannot create the quarantine folder " + folderPath, errno);
  if (!isPrivateFolder(platform_.root, quarantineRoot.get())) refuse(Error::Case::quarantineFailed);
  bool created = false;
  const UniqueFd folder =
      platform::openOrMakeDirectoryAt(quarantineRoot.get(), nameOf(folderPath), kQuarantineFolderMode, &created);
  if (!folder) throw platformError("Cannot create the quarantine folder " + folderPath, errno);
  if (!created) refuse(Error::Case::quarantineFailed);

  // 3-4. Unload the daemon (whatever launchctl says) and give launchd a moment.
  runQuarantineTool(platform_.launcher, platform::tools::launchctlBootout(item.plistURL));
  platform_.clock.sleepFor(kBootoutSettleSeconds);

  // 5. The programs that may be moved, once each.
  std::vector<const PinnedFile*> movable;
  const auto consider = [&](const std::string& path) {
    if (!isMovableLocation(path)) return;
    const PinnedFile* file = item.pinnedFile(path);
    if (file != nullptr && std::find(movable.begin(), movable.end(), file) == movable.end()) movable.push_back(file);
  };
  consider(item.launchTarget);
  if (item.relatedExecutable && *item.relatedExecutable != item.launchTarget) consider(*item.relatedExecutable);

  // 6. Stop what runs them; a listing that fails stops nothing.
  if (!movable.empty()) {
    const QuarantineToolResult listing = runQuarantineTool(platform_.launcher, platform::tools::psProcessArguments());
    if (listing.status == 0) {
      std::vector<std::string> paths;
      for (const PinnedFile* file : movable) paths.push_back(file->path);
      for (pid_t pid : processesRunning(listing.output, paths, platform_.processFacts.processIdentifier())) {
        platform_.signals.send(pid, SIGTERM);
      }
    }
  }

  // 7-9. The moves and the manifest; any failure puts the moved files back.
  std::vector<MoveRecord> records;
  try {
    const PinnedFile* plist = item.pinnedFile(item.plistURL);
    const SafeName plistDestination = nameOf(std::string(kPropertyListPrefix) + lastComponent(item.plistURL));
    if (plist == nullptr ||
        moveIntoQuarantine(platform_.root, *plist, folder.get(), plistDestination) != MoveOutcome::moved) {
      refuse(Error::Case::quarantineFailed);
    }
    records.push_back({item.plistURL, folderPath + "/" + plistDestination.str()});
    for (std::size_t index = 0; index < movable.size(); ++index) {
      const SafeName destination = nameOf(std::to_string(index) + "-" + lastComponent(movable[index]->path));
      if (moveIntoQuarantine(platform_.root, *movable[index], folder.get(), destination) == MoveOutcome::moved) {
        records.push_back({movable[index]->path, folderPath + "/" + destination.str()});
      }
    }
    const QuarantineManifest manifest{id, item.label, platform::json::Date{platform_.clock.now()}, records};
    const auto bytes = platform::json::encode(platform::json::encodeValue(manifest));
    if (!bytes) refuse(Error::Case::quarantineFailed);
    if (!platform::createFileAtomically(folder.get(), nameOf(kManifestName), nameOf(kManifestPendingName), *bytes,
                                        kManifestMode)) {
      throw platformError("Cannot write the quarantine record " + manifestPath(folderPath), errno);
    }
  } catch (...) {
    rollBack(platform_.root, folder.get(), records);
    throw;
  }
  return id;
}

void BackgroundQuarantineEngine::restore(const BackgroundRestoreRequest& request) {
  // 1-2. A quarantine ID names one folder directly inside the quarantine root.
  if (!platform::parseUuidString(request.quarantineID)) refuse(Error::Case::invalidQuarantineID);
  const std::string folderPath = std::string(kQuarantineRoot) + "/" + request.quarantineID;
  if (!standardizedPath(folderPath).starts_with(standardizedPath(kQuarantineRoot) + "/")) {
    refuse(Error::Case::unsafePath);
  }

  // 3. The manifest, from a folder only the helper can write to.
  const std::string recordPath = manifestPath(folderPath);
  const UniqueFd quarantineRoot = platform::openBeneath(platform_.root, kQuarantineRoot, O_RDONLY | O_DIRECTORY);
  if (!quarantineRoot) throw platformError("Cannot read the quarantine record " + recordPath, errno);
  const UniqueFd folder = platform::openAt(quarantineRoot.get(), nameOf(folderPath), O_RDONLY | O_DIRECTORY);
  if (!folder) throw platformError("Cannot read the quarantine record " + recordPath, errno);
  if (!isPrivateFolder(platform_.root, quarantineRoot.get()) || !isPrivateFolder(platform_.root, folder.get())) {
    refuse(Error::Case::invalidQuarantineID);
  }
  const UniqueFd file = platform::openAt(folder.get(), nameOf(kManifestName), O_RDONLY | O_NONBLOCK);
  if (!file) throw platformError("Cannot read the quarantine record " + recordPath, errno);
  const auto fileStatus = platform::entryStatusOf(file.get());
  if (!fileStatus || fileStatus->kind != platform::EntryKind::regular) refuse(Error::Case::invalidQuarantineID);
  std::string text;
  if (!platform::readAll(file.get(), text, kMaxManifestBytes)) {
    throw platformError("Cannot read the quarantine record " + recordPath, errno);
  }
  const QuarantineManifest manifest = platform::json::decodeDocument<QuarantineManifest>(text);
  if (manifest.id != request.quarantineID) refuse(Error::Case::invalidQuarantineID);
  // Every record moves a file of this folder back to an absolute place.
  for (const MoveRecord& record : manifest.records) {
    const bool inFolder = parentPath(record.quarantined) == folderPath &&
                          SafeName::make(lastComponent(record.quarantined)) &&
                          lastComponent(record.quarantined) != kManifestName;
    const bool absolute = record.original.size() > 1 && record.original == standardizedPath(record.original) &&
                          record.original.starts_with('/');
    if (!inFolder || !absolute) refuse(Error::Case::invalidQuarantineID);
  }

  // 4. Nothing is moved if any original place is taken (or cannot be told free).
  for (const MoveRecord& record : manifest.records) {
    const std::optional<bool> exists = entryExists(platform_.root, record.original);
    if (!exists) refuse(Error::Case::unsafePath);
    if (*exists) refuse(Error::Case::restoreConflict);
  }

  // 5. Back, last moved first.
  for (auto record = manifest.records.rbegin(); record != manifest.records.rend(); ++record) {
    const SafeName quarantined = nameOf(record->quarantined);
    if (!platform::entryStatusAt(folder.get(), quarantined)) continue;
    const std::string parent = parentPath(record->original);
    const UniqueFd parentFd = platform::openOrMakeDirectoriesBeneath(platform_.root, walkPath(parent), kRestoredParentMode);
    if (!parentFd) throw platformError("Cannot create the folder " + parent, errno);
    if (!platform::moveWithoutReplacing(folder.get(), quarantined, parentFd.get(), nameOf(record->original))) {
      if (errno == ENOENT) continue;  // a restore running at the same time took it back already
      if (errno == EEXIST) refuse(Error::Case::restoreConflict);
      throw platformError("Cannot move " + record->quarantined + " back to " + record->original, errno);
    }
  }
}

}  // namespace tidewarden::quarantine
