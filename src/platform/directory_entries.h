// Directory entries seen and changed relative to pinned directory descriptors: link-status,
// no-overwrite moves, directory creation and exclusive atomic file creation.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <optional>
#include <string_view>

#include "platform/safe_name.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

enum class EntryKind { regular, directory, symbolicLink, other };

// What lstat (or fstat of an open descriptor) says of one entry. `device` and `inode`
// name the object itself: two statuses with the same pair are the same file, whatever
// path led to each.
struct EntryStatus {
  dev_t device = 0;
  ino_t inode = 0;
  uid_t owner = 0;
  mode_t permissions = 0;  // the low 12 bits of st_mode
  off_t size = 0;
  nlink_t links = 0;
  EntryKind kind = EntryKind::other;
  timespec modified{};  // contents last changed
  timespec changed{};   // contents or status last changed (a rename changes it too)

  bool sameObject(const EntryStatus& other) const { return device == other.device && inode == other.inode; }
  // The same object, not written to and with the same owner, mode and links since
  // `before` was taken. An inode number can be reused by a new file at once, so the
  // object alone does not prove that nothing was swapped in.
  bool unchangedSince(const EntryStatus& before) const {
    return sameObject(before) && size == before.size && links == before.links && owner == before.owner &&
           permissions == before.permissions && kind == before.kind && sameTime(modified, before.modified) &&
           sameTime(changed, before.changed);
  }
  // The same object with the same contents: what a move keeps (it changes `changed`).
  bool sameContentsAs(const EntryStatus& before) const {
    return sameObject(before) && size == before.size && sameTime(modified, before.modified);
  }

 private:
  static bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
};

// The link-status of `name` in `dirFd`: a symbolic link is reported as one, never
// followed. Nothing with errno preserved (ENOENT when there is no such entry).
std::optional<EntryStatus> entryStatusAt(int dirFd, const SafeName& name);
// The status of an open descriptor (fstat).
std::optional<EntryStatus> entryStatusOf(int fd);

// A folder of the helper's own state must be a directory of the owner of "/" (`rootFd`)
// that nobody else may write to: otherwise what it holds could have been put there by
// someone else. Reported by callers, never repaired.
bool isPrivateFolder(int rootFd, int fd);

// Moves the entry `from` in `fromDirFd` to `to` in `toDirFd` only when nothing at all
// (not even a dangling symbolic link) exists at the destination: one atomic
// renameat2(RENAME_NOREPLACE), so a file that appears there meanwhile is never
// replaced (EEXIST). The entry itself is moved as it is, whatever kind it is: callers
// check its link-status first and the moved object's identity afterwards. False with
// errno preserved on failure; nothing was moved then.
bool moveWithoutReplacing(int fromDirFd, const SafeName& from, int toDirFd, const SafeName& to);

// Opens the directory `name` in `parentFd` without following a link, creating it with
// exactly `mode` (the umask does not apply) when it is absent. `created` (when given)
// tells whether this call made it. An existing entry that is not a directory fails
// (ENOTDIR, or ELOOP for a symbolic link). Invalid with errno preserved on failure.
UniqueFd openOrMakeDirectoryAt(int parentFd, const SafeName& name, mode_t mode, bool* created = nullptr);

// Opens the directory at `absoluteLogicalPath` beneath `root`, creating each missing
// component as openOrMakeDirectoryAt does. No link is followed on the way; the path
// grammar is that of openBeneath. Invalid with errno preserved on failure; directories
// made before the failure stay.
UniqueFd openOrMakeDirectoriesBeneath(const UniqueFd& root, std::string_view absoluteLogicalPath, mode_t mode);

// Creates `name` in `dirFd` holding `bytes`, atomically and never over an existing
// entry: `temporaryName` is created exclusively with `mode`, written in full, synced,
// then moved to `name` without replacing (EEXIST when `name` exists) and the directory
// synced. Readers see no file or the whole file. On failure the temporary file is
// removed, errno is preserved and `name` is as it was.
bool createFileAtomically(int dirFd, const SafeName& name, const SafeName& temporaryName, std::string_view bytes,
                          mode_t mode);

}  // namespace tidewarden::platform
