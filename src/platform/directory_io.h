// Directory listings, advisory locks, in-place rewrites, directory removal and BSD user flags.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tidewarden::platform {

// The names in a directory ("." and ".." left out), in the order the file system
// returns them.
struct DirectoryListing {
  std::vector<std::string> names;
  // More than `maxEntries` entries exist; `names` holds the first `maxEntries`.
  bool truncated = false;
};

// Lists the directory `dirFd` through a duplicate of it, so the caller's descriptor and
// its position are untouched. At most `maxEntries` names are kept, and reading stops
// at the first name beyond them, so a huge directory costs no more memory than the
// limit. Nothing with errno preserved when the duplicate, the stream or a read fails.
std::optional<DirectoryListing> listDirectory(int dirFd, std::size_t maxEntries);

// flock(LOCK_EX | LOCK_NB): true when this descriptor now holds the exclusive lock;
// false with errno (EWOULDBLOCK when someone else holds it). Closing every descriptor
// of the open file description releases it, as does the holder's death.
bool tryLockExclusive(int fd);

// ftruncate(fd, 0); false with errno preserved.
bool truncateToEmpty(int fd);

// fsync(fd); false with errno preserved.
bool syncFile(int fd);

// mkdirat(dirFd, name, mode), exclusive: an existing entry of any kind fails with
// EEXIST. False with errno preserved.
bool createDirectoryAt(int dirFd, const std::string& name, mode_t mode);

// unlinkat(dirFd, name, AT_REMOVEDIR); false with errno preserved (ENOTEMPTY for a
// directory that still holds entries).
bool removeDirectoryAt(int dirFd, const std::string& name);

// The BSD user flags (UF_SETTABLE: immutable, append-only, nodump, hidden, ...) of
// the entry `name` in `dirFd`, not following a link; nothing with errno preserved when
// it cannot be inspected. Linux has no BSD user flags (its inode attributes are a
// different, root-only mechanism), so there, and on the simulated Mac that runs on it,
// every entry reports 0.
std::optional<std::uint32_t> userFlagsAt(int dirFd, const std::string& name);

// Clears the BSD user flags of `name` in `dirFd`, not following a link; false with
// errno preserved. Nothing to do on Linux (see userFlagsAt), so it succeeds there.
bool clearUserFlagsAt(int dirFd, const std::string& name);

}  // namespace tidewarden::platform
