// Directory listings, advisory locks, in-place rewrites and directory removal.
#include "platform/directory_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace tidewarden::platform {
namespace {

bool validName(const std::string& name) {
  if (name.find('\0') == std::string::npos) return true;
  errno = EINVAL;
  return false;
}

struct DirCloser {
  void operator()(DIR* stream) const { ::closedir(stream); }
};

}  // namespace

std::optional<DirectoryListing> listDirectory(int dirFd, std::size_t maxEntries) {
  // A fresh open file description of the same directory: fdopendir takes over its
  // descriptor, and the caller's own position is never shared or moved.
  int copy = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (copy < 0) return std::nullopt;
  DIR* raw = ::fdopendir(copy);
  if (raw == nullptr) {
    const int err = errno;
    ::close(copy);
    errno = err;
    return std::nullopt;
  }
  std::unique_ptr<DIR, DirCloser> stream(raw);
  DirectoryListing listing;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) return std::nullopt;
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (listing.names.size() == maxEntries) {
      listing.truncated = true;
      break;
    }
    listing.names.emplace_back(entry->d_name);
  }
  return listing;
}

bool tryLockExclusive(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool truncateToEmpty(int fd) { return ::ftruncate(fd, 0) == 0; }

bool syncFile(int fd) { return ::fsync(fd) == 0; }

bool createDirectoryAt(int dirFd, const std::string& name, mode_t mode) {
  return validName(name) && ::mkdirat(dirFd, name.c_str(), mode) == 0;
}

bool removeDirectoryAt(int dirFd, const std::string& name) {
  return validName(name) && ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace tidewarden::platform
