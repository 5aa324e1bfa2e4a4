// Bottom-up removal of exactly the entries of an approved tree snapshot.
#include "storage/approved_tree_removal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::storage {

ApprovedTreeRemoval::ApprovedTreeRemoval(const PreparationTreeSnapshot& approved, std::string shownPath,
                                         Vocabulary vocabulary, platform::FileFlags& fileFlags)
    : shownPath_(std::move(shownPath)), vocabulary_(std::move(vocabulary)), fileFlags_(fileFlags) {
  approved_.reserve(approved.entries.size());
  for (const PreparationTreeEntry& entry : approved.entries) {
    approved_.emplace(entry.relativePath, &entry);
    if ((entry.mode & S_IFMT) != S_IFDIR) ++names_[{entry.identity.device, entry.identity.inode}].approved;
  }
}

void ApprovedTreeRemoval::refuse(const std::string& message) const { throw InstallerSafetyError::refused(message); }

void ApprovedTreeRemoval::refuseWithErrno(const std::string& prefix, int err) const {
  refuse(prefix + ": " + platform::errnoText(err));
}

std::string ApprovedTreeRemoval::shown(const std::string& relative) const {
  return relative.empty() ? shownPath_ : shownPath_ + "/" + relative;
}

std::string ApprovedTreeRemoval::capital() const {
  std::string word = vocabulary_.noun;
  if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') word[0] = static_cast<char>(word[0] - 'a' + 'A');
  return word;
}

void ApprovedTreeRemoval::removeContents(int dirFd, const std::string& prefix, std::uint64_t device, int depth) {
  const std::string& noun = vocabulary_.noun;
  const std::string Noun = capital();
  if (depth > kPreparationNestingLimit) refuse("Unexpected " + noun + " nesting during deletion.");
  auto listing = platform::listDirectory(dirFd, kPreparationEntryLimit);
  if (!listing) refuseWithErrno("Cannot recheck " + noun + " entry " + shown(prefix), errno);
  if (listing->truncated) refuse(kPreparationSafetyLimitExceeded);
  std::sort(listing->names.begin(), listing->names.end());
  for (const std::string& name : listing->names) {
    const std::string relative = prefix.empty() ? name : prefix + "/" + name;
    const std::string path = shown(relative);
    const auto seen = fileFlags_.entryAt(dirFd, name);
    if (!seen) refuseWithErrno("Cannot recheck " + noun + " entry " + path, errno);
    const platform::FileFacts* facts = &seen->facts;
    const auto found = approved_.find(relative);
    if (found == approved_.end()) refuse("A new " + noun + " entry appeared: " + path + ". " + vocabulary_.stoppedText);
    const PreparationTreeEntry& entry = *found->second;
    const InstallerFileIdentity identity = fileIdentity(*facts);
    const bool sameKind = facts->directory == ((entry.mode & S_IFMT) == S_IFDIR) &&
                          facts->symbolicLink == ((entry.mode & S_IFMT) == S_IFLNK) &&
                          facts->regular == ((entry.mode & S_IFMT) == S_IFREG);
    if (!sameKind || identity.device != device || identity.device != entry.identity.device ||
        identity.inode != entry.identity.inode) {
      refuse(Noun + " entry was replaced, redirected or mounted: " + path);
    }
    if (facts->directory) {
      if (identity != entry.identity || seen->flags != entry.flags) {
        refuse(Noun + " directory changed before deletion: " + path);
      }
      platform::UniqueFd child = platform::openAt(dirFd, name, O_RDONLY | O_DIRECTORY);
      const auto opened = child ? platform::fileFacts(child.get()) : std::nullopt;
      if (!opened) refuse(Noun + " directory changed before deletion: " + path);
      if (static_cast<std::uint64_t>(opened->device) != device) {
        refuse(Noun + " directory changed filesystem during deletion.");
      }
      if (fileIdentity(*opened) != entry.identity) refuse(Noun + " directory changed before deletion: " + path);
      // An immutable or append-only directory refuses the removal of its entries:
      // its flags go before its contents do.
      clearBlockingFlags(dirFd, name, seen->flags, /*directory=*/true, facts->owner, path);
      removeContents(child.get(), relative, device, depth + 1);
      child.reset();
      if (!fileFlags_.removeDirectoryAt(dirFd, name)) {
        if (errno == ENOTEMPTY || errno == EEXIST) refuse(Noun + " directory is not empty after removal.");
        refuseWithErrno("Cannot remove " + noun + " directory " + path, errno);
      }
    } else {
      Names& names = names_[{entry.identity.device, entry.identity.inode}];
      if ((identity != entry.identity && !changedOnlyByOurUnlinks(identity, entry.identity)) ||
          seen->flags != (entry.flags & ~names.clearedFlags)) {
        refuse(Noun + " file changed before deletion: " + path);
      }
      names.clearedFlags |= clearBlockingFlags(dirFd, name, seen->flags, /*directory=*/false, facts->owner, path);
      if (!fileFlags_.removeFileAt(dirFd, name)) refuseWithErrno("Cannot remove " + noun + " entry " + path, errno);
      ++names.removed;
    }
    removedBytes_ += entry.identity.allocatedBytes;
    ++removedEntries_;
  }
}

std::uint32_t ApprovedTreeRemoval::clearBlockingFlags(int dirFd, const std::string& name, std::uint32_t flags,
                                                      bool directory, std::uint32_t owner,
                                                      const std::string& path) const {
  const std::uint32_t blocking = platform::flagsBlockingRemoval(flags, directory);
  if (blocking == 0) return 0;
  if (const auto reason = unclearableFlagsReason(flags, directory, owner)) {
    if ((blocking & ~platform::kClearableUserFlags) == 0) {
      refuse("Flagged " + vocabulary_.noun + " entry is not root-owned: " + path);
    }
    refuse(capital() + " entry " + path + " " + *reason + ".");
  }
  if (!fileFlags_.clearAt(dirFd, name, blocking)) {
    refuseWithErrno("Cannot clear temporary user flags at " + path, errno);
  }
  return blocking;
}

// A file with several names, all of them in the approved tree, changes its link count
// and change time when this removal unlinks one of them: expected, not tampering. Every
// other field must still be as approved, and the links left must be exactly the
// approved ones less the names this removal took.
bool ApprovedTreeRemoval::changedOnlyByOurUnlinks(const InstallerFileIdentity& now,
                                                  const InstallerFileIdentity& approved) const {
  const auto found = names_.find({approved.device, approved.inode});
  if (found == names_.end() || found->second.removed == 0) return false;
  const Names& names = found->second;
  InstallerFileIdentity expected = approved;
  expected.links = approved.links - names.removed;
  expected.changedSeconds = now.changedSeconds;
  expected.changedNanoseconds = now.changedNanoseconds;
  return names.approved == approved.links && approved.links > names.removed && now == expected;
}

std::optional<std::string> unclearableFlagsReason(std::uint32_t flags, bool directory, std::uint32_t owner) {
  const std::uint32_t blocking = platform::flagsBlockingRemoval(flags, directory);
  if ((blocking & ~platform::kClearableUserFlags) != 0) {
    return "carries the file flags " + platform::fileFlagNames(blocking) + ", which cannot be cleared";
  }
  if (blocking != 0 && owner != 0) {
    return "carries the file flags " + platform::fileFlagNames(blocking) + " and is not owned by root";
  }
  return std::nullopt;
}

}  // namespace tidewarden::storage
