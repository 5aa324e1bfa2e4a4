// Quarantine and restore of launch daemons: pinned, checked, no-overwrite moves recorded in a manifest.
#include "quarantine/background_quarantine_engine.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cctype>
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
#include "quarantine/quarantine_put_back.h"
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
// The helper's own state, which no quarantine may move; compared in lower case, as the
// Mac's file system compares names.
constexpr std::array<std::string_view, 2> kHelperStatePrefixes = {"/library/application support/tidewarden/",
                                                                  "/var/tmp/com.ambergrove.tidewarden/"};
// A quarantine folder is the helper's own, private.
constexpr mode_t kQuarantineFolderMode = 0700;

[[noreturn]] void refuse(Error::Case errorCase) { throw Error(errorCase); }

std::runtime_error platformError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + platform::errnoText(err));
}

SafeName nameOf(std::string_view path) {
  auto name = SafeName::make(lastComponent(path));
  if (!name) refuse(Error::Case::unsafePath);
  return *name;
}

std::string lowercased(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string wholeSeconds(std::optional<double> seconds) {
  return std::to_string(static_cast<long long>(seconds.value_or(kUnlimitedToolSeconds)));
}

// Why a tool's run cannot be relied on, as a clause; nothing when it ended by itself with
// status 0 and all its output was read.
std::optional<std::string> toolProblem(const QuarantineToolResult& result, const platform::ToolCommand& command) {
  const std::string tool = lastComponent(command.executable);
  if (!result.status) return result.output;
  if (result.timedOut) return tool + " did not finish within " + wholeSeconds(command.timeLimitSeconds) + " seconds";
  if (*result.status < 0) return tool + " was ended by signal " + std::to_string(-*result.status);
  if (*result.status != 0) return tool + " ended with exit status " + std::to_string(*result.status);
  if (!result.complete) return "the output of " + tool + " could not be read whole";
  return std::nullopt;
}

enum class MoveOutcome { moved, missing };

// Moves the pinned file into the quarantine folder as `destination`, only if it is still
// the very file the evaluation judged in the very directory it judged: the directory is
// walked again, without links, and must be the pinned one (so a folder on the path that
// was renamed or replaced since cannot make the helper move some other file), the entry
// must be the pinned regular file, and nothing may exist at the destination. The moved
// object is checked once more afterwards; an object swapped in at the last instant is
// moved back and the move refused. Once the file is in, `record` says so, and then both
// folders are synced.
MoveOutcome moveIntoQuarantine(const UniqueFd& root, const PinnedFile& file, int folderFd, MoveRecord& record,
                               const std::string& folderPath) {
  const SafeName destination = nameOf(record.quarantined);
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
  record.state = MoveState::moved;
  syncFolder(now.directory.get(), parentPath(file.path));
  syncFolder(folderFd, folderPath);
  return MoveOutcome::moved;
}

}  // namespace

bool isMovableLocation(std::string_view path) {
  const auto startsWith = [&](std::string_view prefix) { return path.starts_with(prefix); };
  const std::string lower = lowercased(path);
  const auto helperState = [&](std::string_view prefix) { return lower.starts_with(prefix); };
  return std::none_of(kProtectedPrefixes.begin(), kProtectedPrefixes.end(), startsWith) &&
         std::none_of(kHelperStatePrefixes.begin(), kHelperStatePrefixes.end(), helperState) &&
         std::any_of(kMovablePrefixes.begin(), kMovablePrefixes.end(), startsWith);
}

ProcessListing processesRunning(std::string_view listing, const std::vector<std::string>& paths, pid_t ownPid) {
  constexpr std::string_view kSpace = " \t\r\f\v";
  ProcessListing found;
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
    if (parsed.ec != std::errc() || parsed.ptr != pidText.data() + pidText.size()) {
      found.unreadLines = true;
      continue;
    }
    if (pid <= 1 || pid == ownPid) continue;
    const bool runsOne = std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
      return arguments.find(path) != std::string_view::npos;
    });
    if (runsOne && std::find(found.pids.begin(), found.pids.end(), pid) == found.pids.end()) found.pids.push_back(pid);
  }
  return found;
}

std::string QuarantineOutcome::message() const {
  std::string text = kQuarantinedMessage;
  for (const std::string& note : notes) text += " " + note;
  return text;
}

QuarantineOutcome BackgroundQuarantineEngine::quarantine(const BackgroundQuarantineRequest& request) {
  // 1. Judged on its own evidence; refusals change nothing.
  const InspectedStartupItem item = evaluateStartupItem(platform_, request);
  checkEvidence(item);

  // 2. A new private folder for this quarantine.
  QuarantineOutcome outcome;
  outcome.id = platform::makeUuidString();
  const std::string folderPath = quarantineFolderPath(outcome.id);
  const UniqueFd quarantineRoot =
      platform::openOrMakeDirectoriesBeneath(platform_.root, kQuarantineRoot, kQuarantineFolderMode);
  if (!quarantineRoot) throw platformError("Cannot create the quarantine folder " + folderPath, errno);
  if (!isPrivateFolder(platform_.root, quarantineRoot.get())) refuse(Error::Case::quarantineFailed);
  bool created = false;
  const UniqueFd folder =
      platform::openOrMakeDirectoryAt(quarantineRoot.get(), nameOf(folderPath), kQuarantineFolderMode, &created);
  if (!folder) throw platformError("Cannot create the quarantine folder " + folderPath, errno);
  if (!created) refuse(Error::Case::quarantineFailed);

  // 5. The programs that may be moved, once each: the property list's move comes first.
  const PinnedFile* plist = item.pinnedFile(item.plistURL);
  std::vector<const PinnedFile*> moves = {plist};
  const auto consider = [&](const std::string& path) {
    if (!isMovableLocation(path)) return;
    const PinnedFile* file = item.pinnedFile(path);
    if (file != nullptr && std::find(moves.begin(), moves.end(), file) == moves.end()) moves.push_back(file);
  };
  consider(item.launchTarget);
  if (item.relatedExecutable && *item.relatedExecutable != item.launchTarget) consider(*item.relatedExecutable);

  // Every planned move is written down, pending, before the first one happens.
  QuarantineManifest manifest{outcome.id, item.label, platform::json::Date{platform_.clock.now()}, {},
                              QuarantineState::moving};
  manifest.records.push_back({item.plistURL,
                              folderPath + "/" + std::string(kPropertyListPrefix) + lastComponent(item.plistURL),
                              MoveState::pending});
  for (std::size_t index = 1; index < moves.size(); ++index) {
    manifest.records.push_back({moves[index]->path,
                                folderPath + "/" + std::to_string(index - 1) + "-" + lastComponent(moves[index]->path),
                                MoveState::pending});
  }

  try {
    if (plist == nullptr) refuse(Error::Case::quarantineFailed);
    syncFolder(quarantineRoot.get(), std::string(kQuarantineRoot));
    writeManifest(folder.get(), folderPath, manifest, /*first=*/true);

    // 3-4. Unload the daemon and give launchd a moment; whatever launchctl says, the
    // quarantine goes on, and the reply says what did not happen.
    const platform::ToolCommand bootout = platform::tools::launchctlBootout(item.plistURL);
    if (const auto problem = toolProblem(runQuarantineTool(platform_.launcher, bootout), bootout)) {
      outcome.notes.push_back("The startup service may still be loaded: " + *problem + ".");
    }
    platform_.clock.sleepFor(kBootoutSettleSeconds);

    // 6. Stop what runs the programs; a listing that is not known whole stops nothing.
    if (moves.size() > 1) {
      const platform::ToolCommand ps = platform::tools::psProcessArguments();
      const QuarantineToolResult listing = runQuarantineTool(platform_.launcher, ps);
      if (const auto problem = toolProblem(listing, ps)) {
        outcome.notes.push_back("No running program of the item was stopped: " + *problem + ".");
      } else {
        std::vector<std::string> paths;
        for (std::size_t index = 1; index < moves.size(); ++index) paths.push_back(moves[index]->path);
        const ProcessListing running =
            processesRunning(listing.output, paths, platform_.processFacts.processIdentifier());
        for (pid_t pid : running.pids) {
          if (!platform_.signals.send(pid, SIGTERM)) {
            outcome.notes.push_back("Process " + std::to_string(pid) +
                                    ", which runs the item, could not be stopped: " + platform::errnoText(errno) + ".");
          }
        }
        if (running.unreadLines) {
          outcome.notes.push_back(
              "Some lines of the process list could not be read, so a running program of the item may not have "
              "been stopped.");
        }
      }
    }

    // 7-8. The moves, each recorded once done; a program that is gone is skipped.
    for (std::size_t index = 0; index < moves.size(); ++index) {
      MoveRecord& record = manifest.records[index];
      if (moveIntoQuarantine(platform_.root, *moves[index], folder.get(), record, folderPath) == MoveOutcome::missing) {
        if (index == 0) refuse(Error::Case::quarantineFailed);
        outcome.notes.push_back(record.original + " was not moved: it was no longer there.");
        continue;
      }
      writeManifest(folder.get(), folderPath, manifest, /*first=*/false);
    }

    // 9. The manifest of what was moved, complete.
    std::erase_if(manifest.records, [](const MoveRecord& record) { return !record.moved(); });
    manifest.createdAt = platform::json::Date{platform_.clock.now()};
    manifest.state = QuarantineState::complete;
    writeManifest(folder.get(), folderPath, manifest, /*first=*/false);
  } catch (...) {
    // Only what this quarantine moved goes back: a file found under a pending name in
    // the folder is not the item's.
    std::erase_if(manifest.records, [](const MoveRecord& record) { return !record.moved(); });
    try {
      rollBackQuarantine(platform_.root, quarantineRoot.get(), folder.get(), manifest);
    } catch (const std::exception&) {
      // The manifest still lists every move; the failure that caused the roll-back is
      // what the caller reports.
    }
    throw;
  }
  if (item.relatedSearchGap) {
    outcome.notes.push_back(*item.relatedSearchGap + " A program the script runs may have been left in place.");
  }
  return outcome;
}

std::string BackgroundQuarantineEngine::restore(const BackgroundRestoreRequest& request) {
  // 1-2. A quarantine ID names one folder directly inside the quarantine root.
  if (!platform::parseUuidString(request.quarantineID)) refuse(Error::Case::invalidQuarantineID);
  const std::string folderPath = quarantineFolderPath(request.quarantineID);
  if (!standardizedPath(folderPath).starts_with(standardizedPath(kQuarantineRoot) + "/")) {
    refuse(Error::Case::unsafePath);
  }

  // 3. The manifest, from a folder only the helper can write to.
  const std::string recordPath = folderPath + "/" + std::string(kManifestName);
  const UniqueFd quarantineRoot = platform::openBeneath(platform_.root, kQuarantineRoot, O_RDONLY | O_DIRECTORY);
  if (!quarantineRoot) throw platformError("Cannot read the quarantine record " + recordPath, errno);
  const UniqueFd folder = platform::openAt(quarantineRoot.get(), nameOf(folderPath), O_RDONLY | O_DIRECTORY);
  if (!folder) throw platformError("Cannot read the quarantine record " + recordPath, errno);
  if (!isPrivateFolder(platform_.root, quarantineRoot.get()) || !isPrivateFolder(platform_.root, folder.get())) {
    refuse(Error::Case::invalidQuarantineID);
  }
  const auto manifest = readManifest(folder.get(), folderPath, request.quarantineID);
  if (!manifest) throw platformError("Cannot read the quarantine record " + recordPath, ENOENT);

  // 4-5. Back, last moved first: each file still in quarantine whose place is free.
  std::vector<std::string> restored;
  std::vector<std::string> stayed;
  std::vector<std::string> warnings;
  bool placeTaken = false;
  for (auto record = manifest->records.rbegin(); record != manifest->records.rend(); ++record) {
    const PutBack result = putBack(platform_.root, folder.get(), *record);
    switch (result.outcome) {
      case PutBack::Outcome::putBack:
        restored.insert(restored.begin(), record->original);
        if (!result.reason.empty()) warnings.push_back(result.reason);
        break;
      case PutBack::Outcome::notInQuarantine:
        break;
      case PutBack::Outcome::placeTaken:
        placeTaken = true;
        stayed.insert(stayed.begin(), record->original + " (a file already exists there)");
        break;
      case PutBack::Outcome::failed:
        stayed.insert(stayed.begin(), record->original + " (" + result.reason + ")");
        break;
    }
  }
  const auto joined = [](const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : "; ") + item;
    return text;
  };
  std::string after;
  for (const std::string& warning : warnings) after += " " + warning;
  if (!stayed.empty()) {
    std::string detail = restored.empty() ? "" : "Restored: " + joined(restored) + ". ";
    detail += "Still in quarantine: " + joined(stayed) + "." + after;
    if (placeTaken) throw Error(Error::Case::restoreConflict, detail);
    throw std::runtime_error(std::string(kRestoreIncompleteMessage) + " " + detail);
  }
  // Nothing left in the folder: everything is back already.
  if (restored.empty()) refuse(Error::Case::restoreConflict);
  std::string message = kRestoredMessage;
  if (!manifest->finished()) message += std::string(" ") + kUnfinishedRestoredNote;
  return message + after;
}

}  // namespace tidewarden::quarantine
