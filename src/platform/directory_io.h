// Directory listings, advisory locks, in-place rewrites and directory removal.
#pragma once

#include <sys/types.h>

#include <cstddef>
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

}  // namespace tidewarden::platform
