// Link-refusing descriptor walks and whole-buffer reads and writes.
#include "platform/file_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <cstring>

namespace tidewarden::platform {
namespace {

constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr size_t kReadChunkBytes = 65536;

UniqueFd failWith(int err) {
  errno = err;
  return UniqueFd();
}

// glibc offers either the GNU strerror_r (returns the text) or the XSI one (fills
// the buffer); these overloads accept whichever the headers declare.
[[maybe_unused]] const char* pickText(const char* text, const char*) { return text; }
[[maybe_unused]] const char* pickText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}

}  // namespace

UniqueFd openAt(int dirFd, const std::string& name, int flags, mode_t mode) {
  if (name.find('\0') != std::string::npos) return failWith(EINVAL);
  return UniqueFd(::openat(dirFd, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode));
}

UniqueFd openAt(int dirFd, const SafeName& name, int flags, mode_t mode) {
  return UniqueFd(::openat(dirFd, name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode));
}

UniqueFd openBeneath(const UniqueFd& root, std::string_view absoluteLogicalPath, int flags, mode_t mode) {
  std::string_view path = absoluteLogicalPath;
  if (!root.valid()) return failWith(EBADF);
  if (path.empty() || path.front() != '/') return failWith(EINVAL);
  if (path.find('\0') != std::string_view::npos) return failWith(EINVAL);
  if (path == "/") return UniqueFd(::openat(root.get(), ".", flags | O_NOFOLLOW | O_CLOEXEC, mode));

  // Validate the whole path before opening anything, so a malformed tail never
  // leaves behind the side effects of a partial walk.
  path.remove_prefix(1);
  for (std::string_view rest = path;;) {
    size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (!SafeName::make(component)) return failWith(EINVAL);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }

  UniqueFd current;
  int dirFd = root.get();
  for (;;) {
    size_t slash = path.find('/');
    std::string component(path.substr(0, slash));
    if (slash == std::string_view::npos) {
      return UniqueFd(::openat(dirFd, component.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
    }
    UniqueFd next(::openat(dirFd, component.c_str(), kWalkFlags));
    if (!next) return next;  // errno from openat is still intact
    current = std::move(next);
    dirFd = current.get();
    path.remove_prefix(slash + 1);
  }
}

std::string errnoText(int err) {
  char buffer[256];
  buffer[0] = '\0';
  return pickText(::strerror_r(err, buffer, sizeof buffer), buffer);
}

bool readAll(int fd, std::string& out, size_t maxBytes) {
  out.clear();
  std::string data;
  char chunk[kReadChunkBytes];
  for (;;) {
    // Never ask for more than one byte past the limit: that byte is the proof of excess.
    size_t remaining = maxBytes - data.size();
    size_t want = remaining >= sizeof chunk ? sizeof chunk : remaining + 1;
    ssize_t got = ::read(fd, chunk, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    data.append(chunk, static_cast<size_t>(got));
    if (data.size() > maxBytes) {
      errno = EFBIG;
      return false;
    }
  }
  out = std::move(data);
  return true;
}

ssize_t readSome(int fd, std::string& out, size_t maxBytes) {
  char chunk[kReadChunkBytes];
  const size_t want = maxBytes < sizeof chunk ? maxBytes : sizeof chunk;
  for (;;) {
    const ssize_t got = ::read(fd, chunk, want);
    if (got < 0 && errno == EINTR) continue;
    if (got > 0) out.append(chunk, static_cast<size_t>(got));
    return got;
  }
}

bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    pollfd poller{fd, POLLIN, 0};
    const int rc = ::poll(&poller, 1, remaining > 60000 ? 60000 : static_cast<int>(remaining));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return true;  // a read will report what is wrong
  }
}

namespace {

// Hands `bytes` to `put` (a write of its own kind) until all are taken, retrying EINTR
// and short writes.
template <typename Put>
bool putEvery(std::string_view bytes, Put put) {
  while (!bytes.empty()) {
    const ssize_t taken = put(bytes);
    if (taken < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (taken == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(taken));
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view bytes) {
  return putEvery(bytes, [fd](std::string_view rest) { return ::write(fd, rest.data(), rest.size()); });
}

bool writeAllAt(int fd, std::int64_t offset, std::string_view bytes) {
  return putEvery(bytes, [fd, &offset](std::string_view rest) {
    const ssize_t taken = ::pwrite(fd, rest.data(), rest.size(), offset);
    if (taken > 0) offset += taken;
    return taken;
  });
}

bool flushFileSystemOf(int fd, double limitSeconds) {
  // The flush runs on its own thread with its own descriptor, so that a slow disk costs
  // the caller at most the limit; the thread ends when the kernel's flush does.
  struct Flush {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    bool ok = false;
  };
  const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  auto flush = std::make_shared<Flush>();
  try {
    std::thread([flush, copy] {
      const bool ok = ::syncfs(copy) == 0;
      ::close(copy);
      std::lock_guard held(flush->lock);
      flush->done = true;
      flush->ok = ok;
      flush->ended.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    ::close(copy);
    return false;
  }
  std::unique_lock held(flush->lock);
  const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(limitSeconds));
  return flush->ended.wait_for(held, limit, [&] { return flush->done; }) && flush->ok;
}

namespace {

FileFacts factsOf(const struct stat& st) {
  return FileFacts{.owner = st.st_uid,
                   .permissions = static_cast<mode_t>(st.st_mode & 07777),
                   .links = st.st_nlink,
                   .size = st.st_size,
                   .regular = S_ISREG(st.st_mode),
                   .directory = S_ISDIR(st.st_mode),
                   .symbolicLink = S_ISLNK(st.st_mode),
                   .device = st.st_dev,
                   .inode = st.st_ino,
                   .blocks = st.st_blocks,
                   .modifiedSeconds = st.st_mtim.tv_sec,
                   .modifiedNanoseconds = st.st_mtim.tv_nsec,
                   .changedSeconds = st.st_ctim.tv_sec,
                   .changedNanoseconds = st.st_ctim.tv_nsec};
}

}  // namespace

std::optional<FileFacts> fileFacts(int fd) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return std::nullopt;
  return factsOf(st);
}

std::optional<FileFacts> fileFactsAt(int dirFd, const std::string& name) {
  if (name.find('\0') != std::string::npos) {
    errno = EINVAL;
    return std::nullopt;
  }
  struct stat st{};
  if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return factsOf(st);
}

std::optional<StatxFacts> statxFactsAt(int dirFd, const std::string& name) {
  if (name.find('\0') != std::string::npos) {
    errno = EINVAL;
    return std::nullopt;
  }
  struct statx sx{};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (name.empty() ? AT_EMPTY_PATH : 0);
  if (::statx(dirFd, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return std::nullopt;
  if ((sx.stx_mask & STATX_BASIC_STATS) != STATX_BASIC_STATS) {
    errno = EOPNOTSUPP;
    return std::nullopt;
  }
  const mode_t mode = sx.stx_mode;
  StatxFacts out;
  out.facts = FileFacts{.owner = sx.stx_uid,
                        .permissions = static_cast<mode_t>(mode & 07777),
                        .links = sx.stx_nlink,
                        .size = static_cast<off_t>(sx.stx_size),
                        .regular = S_ISREG(mode),
                        .directory = S_ISDIR(mode),
                        .symbolicLink = S_ISLNK(mode),
                        .device = makedev(sx.stx_dev_major, sx.stx_dev_minor),
                        .inode = sx.stx_ino,
                        .blocks = static_cast<blkcnt_t>(sx.stx_blocks),
                        .modifiedSeconds = sx.stx_mtime.tv_sec,
                        .modifiedNanoseconds = sx.stx_mtime.tv_nsec,
                        .changedSeconds = sx.stx_ctime.tv_sec,
                        .changedNanoseconds = sx.stx_ctime.tv_nsec};
  out.attributes = sx.stx_attributes;
  out.attributesMask = sx.stx_attributes_mask;
  out.born = (sx.stx_mask & STATX_BTIME) != 0;
  out.bornSeconds = sx.stx_btime.tv_sec;
  out.bornNanoseconds = sx.stx_btime.tv_nsec;
  return out;
}

bool makeDirectoryAt(int dirFd, const std::string& name, mode_t mode) {
  if (name.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  return ::mkdirat(dirFd, name.c_str(), mode) == 0 || errno == EEXIST;
}

bool removeFileAt(int dirFd, const std::string& name) {
  if (name.find('\0') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  return ::unlinkat(dirFd, name.c_str(), 0) == 0;
}

ReplaceResult replaceFileAtomically(int dirFd, const std::string& name, const std::string& temporaryName,
                                    std::string_view bytes, mode_t mode) {
  if (name.find('\0') != std::string::npos) {
    errno = EINVAL;
    return ReplaceResult::notCreated;
  }
  UniqueFd file = openAt(dirFd, temporaryName, O_WRONLY | O_CREAT | O_EXCL, mode);
  if (!file) return ReplaceResult::notCreated;
  const bool written = writeAll(file.get(), bytes) && ::fsync(file.get()) == 0 &&
                       ::renameat(dirFd, temporaryName.c_str(), dirFd, name.c_str()) == 0;
  const int err = errno;
  file.reset();
  if (!written) {
    ::unlinkat(dirFd, temporaryName.c_str(), 0);
    errno = err;
    return ReplaceResult::notCommitted;
  }
  // The rename is durable once the directory is synced; a failure here leaves the
  // new file in place, which is what the caller asked for.
  ::fsync(dirFd);
  return ReplaceResult::replaced;
}

}  // namespace tidewarden::platform
