// Directory entries relative to pinned descriptors: link-status, no-overwrite moves, creation.
#include "platform/directory_entries.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/file_io.h"

namespace tidewarden::platform {
namespace {

EntryStatus fromStat(const struct stat& st) {
  EntryStatus status;
  status.device = st.st_dev;
  status.inode = st.st_ino;
  status.owner = st.st_uid;
  status.permissions = static_cast<mode_t>(st.st_mode & 07777);
  status.size = st.st_size;
  status.links = st.st_nlink;
  status.modified = st.st_mtim;
  status.changed = st.st_ctim;
  if (S_ISREG(st.st_mode)) {
    status.kind = EntryKind::regular;
  } else if (S_ISDIR(st.st_mode)) {
    status.kind = EntryKind::directory;
  } else if (S_ISLNK(st.st_mode)) {
    status.kind = EntryKind::symbolicLink;
  } else {
    status.kind = EntryKind::other;
  }
  return status;
}

}  // namespace

std::optional<EntryStatus> entryStatusAt(int dirFd, const SafeName& name) {
  struct stat st {};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return fromStat(st);
}

std::optional<EntryStatus> entryStatusOf(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return fromStat(st);
}

bool isPrivateFolder(int rootFd, int fd) {
  const auto folder = entryStatusOf(fd);
  const auto system = entryStatusOf(rootFd);
  return folder && system && folder->kind == EntryKind::directory && folder->owner == system->owner &&
         (folder->permissions & 022) == 0;
}

bool moveWithoutReplacing(int fromDirFd, const SafeName& from, int toDirFd, const SafeName& to) {
  // Linux's renameat2 with RENAME_NOREPLACE; on macOS this is renameatx_np with RENAME_EXCL.
  return ::renameat2(fromDirFd, from.c_str(), toDirFd, to.c_str(), RENAME_NOREPLACE) == 0;
}

UniqueFd openOrMakeDirectoryAt(int parentFd, const SafeName& name, mode_t mode, bool* created) {
  if (created != nullptr) *created = false;
  if (::mkdirat(parentFd, name.c_str(), 0700) == 0) {
    UniqueFd fd = openAt(parentFd, name, O_RDONLY | O_DIRECTORY);
    if (!fd) return fd;
    // Exactly the requested mode: mkdirat's mode passes through the umask.
    if (::fchmod(fd.get(), mode) != 0) return UniqueFd();
    if (created != nullptr) *created = true;
    return fd;
  }
  if (errno != EEXIST) return UniqueFd();
  return openAt(parentFd, name, O_RDONLY | O_DIRECTORY);
}

UniqueFd openOrMakeDirectoriesBeneath(const UniqueFd& root, std::string_view absoluteLogicalPath, mode_t mode) {
  std::string_view path = absoluteLogicalPath;
  if (!root.valid()) {
    errno = EBADF;
    return UniqueFd();
  }
  if (path.empty() || path.front() != '/') {
    errno = EINVAL;
    return UniqueFd();
  }
  UniqueFd current = openAt(root.get(), ".", O_RDONLY | O_DIRECTORY);
  if (!current) return current;
  path.remove_prefix(1);
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const auto name = SafeName::make(path.substr(0, slash));
    if (!name) {
      errno = EINVAL;
      return UniqueFd();
    }
    UniqueFd next = openOrMakeDirectoryAt(current.get(), *name, mode);
    if (!next) return next;
    current = std::move(next);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
    if (path.empty()) {  // a trailing "/"
      errno = EINVAL;
      return UniqueFd();
    }
  }
  return current;
}

bool createFileAtomically(int dirFd, const SafeName& name, const SafeName& temporaryName, std::string_view bytes,
                          mode_t mode) {
  UniqueFd file = openAt(dirFd, temporaryName, O_WRONLY | O_CREAT | O_EXCL, mode);
  if (!file) return false;
  const bool written = ::fchmod(file.get(), mode) == 0 && writeAll(file.get(), bytes) && ::fsync(file.get()) == 0 &&
                       moveWithoutReplacing(dirFd, temporaryName, dirFd, name);
  const int err = errno;
  file.reset();
  if (!written) {
    ::unlinkat(dirFd, temporaryName.c_str(), 0);
    errno = err;
    return false;
  }
  ::fsync(dirFd);
  return true;
}

}  // namespace tidewarden::platform
