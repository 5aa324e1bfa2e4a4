// File flags on Linux: the inode attributes that stand in for BSD flags, and plain removals.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_flags.h"

namespace tidewarden::platform {
namespace {

// Linux has no BSD flags. Its inode attributes (chattr) are read through statx, which
// needs no open of the entry. The immutable and append-only attributes forbid what
// schg and sappnd forbid and only a privileged process may change them, so they are
// reported as those system flags, which the helper never clears; nodump and
// compressed keep their names. Other attributes (encryption, verity, DAX) restrict
// no removal and are left out. A file system whose statx cannot say whether an entry
// is immutable or append-only has flags that cannot be known.
constexpr std::uint64_t kRequiredAttributes = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND;

std::uint32_t flagsOf(std::uint64_t attributes) {
  std::uint32_t flags = 0;
  if ((attributes & STATX_ATTR_IMMUTABLE) != 0) flags |= kFlagSystemImmutable;
  if ((attributes & STATX_ATTR_APPEND) != 0) flags |= kFlagSystemAppend;
  if ((attributes & STATX_ATTR_NODUMP) != 0) flags |= kFlagNoDump;
  if ((attributes & STATX_ATTR_COMPRESSED) != 0) flags |= kFlagCompressed;
  return flags;
}

bool validName(const std::string& name) {
  if (!name.empty() && name.find('\0') == std::string::npos) return true;
  errno = EINVAL;
  return false;
}

class LinuxFileFlags final : public FileFlags {
 public:
  std::optional<FlaggedFileFacts> entryAt(int dirFd, const std::string& name) override {
    const auto seen = statxFactsAt(dirFd, name);
    if (!seen) return std::nullopt;
    if ((seen->attributesMask & kRequiredAttributes) != kRequiredAttributes) {
      errno = EOPNOTSUPP;
      return std::nullopt;
    }
    return FlaggedFileFacts{seen->facts, flagsOf(seen->attributes)};
  }

  // No user flags exist here, and the attributes are not the helper's to change.
  bool clearAt(int dirFd, const std::string& name, std::uint32_t flags) override {
    if (!validName(name)) return false;
    const auto seen = entryAt(dirFd, name);
    if (!seen) return false;
    if ((seen->flags & flags & ~kUserFlags) != 0) {
      errno = EPERM;
      return false;
    }
    return true;
  }

  // The kernel enforces the attributes itself (EPERM).
  bool removeFileAt(int dirFd, const std::string& name) override {
    return validName(name) && ::unlinkat(dirFd, name.c_str(), 0) == 0;
  }
  bool removeDirectoryAt(int dirFd, const std::string& name) override {
    return validName(name) && ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0;
  }
};

}  // namespace

std::unique_ptr<FileFlags> makeFileFlags() { return std::make_unique<LinuxFileFlags>(); }

}  // namespace tidewarden::platform
