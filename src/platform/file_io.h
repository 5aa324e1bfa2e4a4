// Descriptor-relative opens that never follow a symbolic link, and EINTR-safe whole reads/writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/safe_name.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform {

// openat(dirFd, name, flags | O_CLOEXEC | O_NOFOLLOW, mode). A symbolic link as `name`
// fails with ELOOP (or, with O_PATH, opens the link itself, which fstat shows as
// S_IFLNK). Returns an invalid UniqueFd on failure with errno preserved. `name` is
// passed to the kernel as given; callers that take names from outside pass a
// SafeName (overload below) so that "..", "/" and embedded NULs cannot reach openat.
UniqueFd openAt(int dirFd, const std::string& name, int flags, mode_t mode = 0);
UniqueFd openAt(int dirFd, const SafeName& name, int flags, mode_t mode = 0);

// Opens `absoluteLogicalPath` beneath `root` one component at a time: every
// intermediate directory is opened O_RDONLY|O_DIRECTORY|O_NOFOLLOW|O_CLOEXEC relative
// to the one before, the last component with `flags` | O_NOFOLLOW | O_CLOEXEC. No
// symbolic link is followed anywhere on the way (ELOOP or ENOTDIR), and because every
// step is relative to an already open directory, renaming an ancestor mid-walk cannot
// redirect it. Refused with EINVAL: a path not starting with "/", an empty component
// ("//", trailing "/"), "." or "..", an embedded NUL. "/" alone opens the root itself
// as a new open file description (openat(root, ".")), so the kernel applies `flags`
// exactly as for any directory (e.g. O_WRONLY gives EISDIR) and a readdir position is
// never shared with the caller's root. Returns an invalid UniqueFd with errno
// preserved on failure; every intermediate descriptor is closed on every path out.
// Mount points are crossed; callers that must stay on one file system check st_dev.
UniqueFd openBeneath(const UniqueFd& root, std::string_view absoluteLogicalPath, int flags, mode_t mode = 0);

// What fstat says of an open file: owner, permission bits, links, size and kind, and
// what a later look must find unchanged (device, inode, allocation, times).
struct FileFacts {
  uid_t owner = 0;
  mode_t permissions = 0;  // the low 12 bits of st_mode
  nlink_t links = 0;
  off_t size = 0;
  bool regular = false;
  bool directory = false;
  bool symbolicLink = false;  // only ever true from fileFactsAt, which does not follow links
  dev_t device = 0;
  ino_t inode = 0;
  blkcnt_t blocks = 0;  // st_blocks: allocated 512-byte units
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;
};
// Facts of `fd`, or nothing with errno preserved.
std::optional<FileFacts> fileFacts(int fd);
// Facts of the entry `name` in `dirFd` itself (fstatat with AT_SYMLINK_NOFOLLOW: a
// symbolic link is described, not followed), or nothing with errno preserved.
std::optional<FileFacts> fileFactsAt(int dirFd, const std::string& name);

// FileFacts with what statx adds on Linux: the inode attributes (STATX_ATTR_*) with the
// mask of those the file system can report, and the birth time where it keeps one.
struct StatxFacts {
  FileFacts facts;
  std::uint64_t attributes = 0;
  std::uint64_t attributesMask = 0;
  bool born = false;  // the birth time below is known
  std::int64_t bornSeconds = 0;
  std::int64_t bornNanoseconds = 0;
};
// Of the entry `name` in `dirFd` itself (a link is described, not followed; "" stands
// for `dirFd`), or nothing with errno preserved.
std::optional<StatxFacts> statxFactsAt(int dirFd, const std::string& name);

// mkdirat(dirFd, name, mode); true when the directory was created or already exists
// as any entry (the caller opens it without following links and judges it). False
// with errno preserved otherwise.
bool makeDirectoryAt(int dirFd, const std::string& name, mode_t mode);

// unlinkat(dirFd, name, 0); false with errno preserved.
bool removeFileAt(int dirFd, const std::string& name);

// Replaces `name` in `dirFd` with `bytes` so that readers see the old file or the
// whole new one, never a torn one: `temporaryName` is created exclusively with `mode`
// (never following a link), written in full, synced, renamed over `name`, and the
// directory synced. On any failure the temporary file is removed and errno is
// preserved; `name` is then as it was.
enum class ReplaceResult { replaced, notCreated, notCommitted };
ReplaceResult replaceFileAtomically(int dirFd, const std::string& name, const std::string& temporaryName,
                           std::string_view bytes, mode_t mode);

// The C library's text for `err` ("No such file or directory"); thread-safe.
std::string errnoText(int err);

// Reads `fd` to end of file into `out` (replacing its contents), retrying EINTR.
// Fails with errno EFBIG when the data would exceed `maxBytes` (at most maxBytes + 1
// bytes are ever read), or with the read's errno; `out` is cleared on failure so a
// partial read is never mistaken for the whole.
bool readAll(int fd, std::string& out, size_t maxBytes);

// One read of at most `maxBytes` appended to `out`, retrying EINTR. Returns the number
// of bytes read (0 at end of file), or -1 with errno preserved.
ssize_t readSome(int fd, std::string& out, size_t maxBytes);

// Waits until `fd` has data or has reached its end (true), or `deadline` passes (false).
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline);

// Writes every byte of `bytes`, retrying EINTR and short writes. Returns false with
// errno preserved on failure (EIO if the kernel accepts nothing without an error).
bool writeAll(int fd, std::string_view bytes);

// writeAll at `offset` (pwrite), leaving the file offset alone: an overwrite in place
// of bytes the file already holds, which on most file systems needs no new space.
bool writeAllAt(int fd, std::int64_t offset, std::string_view bytes);

// Writes back whatever is still held in memory for the file system of `fd` (syncfs),
// so that sizes measured afterwards no longer move by themselves (delayed allocation).
// Waits at most `limitSeconds`: false when the flush failed or did not end in time (it
// then finishes in the background, holding a duplicate of `fd` until it does).
bool flushFileSystemOf(int fd, double limitSeconds);

}  // namespace tidewarden::platform
