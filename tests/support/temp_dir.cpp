// Creation and link-safe recursive removal of test temporary directories.
#include "support/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tidewarden::testing {
namespace {

constexpr const char* kBase = "/tmp";
constexpr const char* kTemplateSuffix = "/tidewarden-test-XXXXXX";

// Clears the immutable and append-only flags a test may have set on `name`, which
// would otherwise make it impossible to remove (even for root).
void clearProtectiveFlags(int dirFd, const std::string& name) {
  int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0) {
    flags &= ~(FS_IMMUTABLE_FL | FS_APPEND_FL);
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
}

// Removes every entry of the open directory `dirFd`, descending only into real
// directories opened with O_NOFOLLOW; takes ownership of `dirFd`.
void removeContents(int dirFd) {
  DIR* dir = ::fdopendir(dirFd);
  if (dir == nullptr) {
    ::close(dirFd);
    return;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    names.emplace_back(entry->d_name);
  }
  int fd = ::dirfd(dir);
  for (const std::string& name : names) {
    struct stat st {};
    if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) clearProtectiveFlags(fd, name);
    if (S_ISDIR(st.st_mode)) {
      // A test may have left the directory unreadable or unwritable.
      ::fchmodat(fd, name.c_str(), 0700, 0);
      int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) removeContents(child);
      ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(fd, name.c_str(), 0);
    }
  }
  ::closedir(dir);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = std::string(kBase) + kTemplateSuffix;
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::fprintf(stderr, "TempDir: mkdtemp failed: %s\n", std::strerror(errno));
    std::abort();
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  int parent = ::open(kBase, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (parent >= 0) {
    clearProtectiveFlags(parent, path_.substr(path_.rfind('/') + 1));
    ::close(parent);
  }
  ::chmod(path_.c_str(), 0700);
  int fd = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) removeContents(fd);
  ::rmdir(path_.c_str());
}

}  // namespace tidewarden::testing
