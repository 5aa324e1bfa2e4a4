// BSD file flags on the simulated Mac: kept in the world with each object and enforced as macOS enforces them.
#include "sim/simulated_file_flags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"

namespace tidewarden::sim {
namespace {

// Which object an entry is, beyond its device and inode number: its birth time and its
// file handle. Nothing when either cannot be told.
struct ObjectKey {
  std::int64_t bornSeconds = 0;
  std::int64_t bornNanoseconds = 0;
  std::string handle;
};

std::optional<ObjectKey> objectKeyAt(int dirFd, const std::string& name, const platform::StatxFacts& seen) {
  if (!seen.born) return std::nullopt;
  ObjectKey key{seen.bornSeconds, seen.bornNanoseconds, {}};
  alignas(file_handle) unsigned char buffer[sizeof(file_handle) + MAX_HANDLE_SZ];
  auto* handle = reinterpret_cast<file_handle*>(buffer);
  handle->handle_bytes = MAX_HANDLE_SZ;
  int mount = 0;
  if (::name_to_handle_at(dirFd, name.c_str(), handle, &mount, name.empty() ? AT_EMPTY_PATH : 0) != 0) {
    if (errno == EOPNOTSUPP) return key;  // the birth time alone must do
    return std::nullopt;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  key.handle = std::to_string(handle->handle_type) + ":";
  for (unsigned i = 0; i < handle->handle_bytes; ++i) {
    key.handle += kDigits[handle->f_handle[i] >> 4];
    key.handle += kDigits[handle->f_handle[i] & 0xF];
  }
  return key;
}

bool sameInode(const WorldFileFlags& record, const platform::StatxFacts& seen) {
  return record.device == static_cast<std::uint64_t>(seen.facts.device) &&
         record.inode == static_cast<std::uint64_t>(seen.facts.inode);
}

bool sameObject(const WorldFileFlags& record, const platform::StatxFacts& seen, const ObjectKey& key) {
  return sameInode(record, seen) && record.bornSeconds == key.bornSeconds &&
         record.bornNanoseconds == key.bornNanoseconds && record.handle == key.handle;
}

// The flags the world gives the entry: those of the record of its object, else none.
// Nothing when a record names its device and inode but the object cannot be told.
std::optional<std::uint32_t> worldFlagsOf(const WorldRecord& world, int dirFd, const std::string& name,
                                          const platform::StatxFacts& seen) {
  std::optional<ObjectKey> key;
  for (const WorldFileFlags& record : world.fileFlags) {
    if (!sameInode(record, seen)) continue;
    if (!key && !(key = objectKeyAt(dirFd, name, seen))) return std::nullopt;
    if (sameObject(record, seen, *key)) return static_cast<std::uint32_t>(record.flags);
  }
  return 0u;
}

// Sets the flags of the object `seen` in the world (dropping its record at 0, and any
// stale one of its inode number; an empty `shownPath` keeps the one recorded) and, as
// chflags does, moves its change time: utimensat with its own access time and the
// modification time left alone changes nothing else.
void storeFlags(const std::string& directory, int dirFd, const std::string& name, const platform::StatxFacts& seen,
                const ObjectKey& key, std::uint32_t flags, const std::string& shownPath) {
  World::update(directory, [&](WorldRecord& world) {
    std::string path = shownPath;
    std::erase_if(world.fileFlags, [&](const WorldFileFlags& record) {
      if (path.empty() && sameObject(record, seen, key)) path = record.path;
      return sameInode(record, seen);
    });
    if (flags != 0) {
      world.fileFlags.push_back({static_cast<std::uint64_t>(seen.facts.device),
                                 static_cast<std::uint64_t>(seen.facts.inode), key.bornSeconds, key.bornNanoseconds,
                                 key.handle, flags, path});
    }
  });
  struct statx sx{};
  const int at = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
  if (::statx(dirFd, name.c_str(), at, STATX_ATIME, &sx) == 0) {
    const timespec times[2] = {{sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec}, {0, UTIME_OMIT}};
    ::utimensat(dirFd, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }
}

}  // namespace

SimulatedFileFlags::SimulatedFileFlags(std::string worldDirectory)
    : directory_(std::move(worldDirectory)), world_(directory_) {}

std::optional<platform::FlaggedFileFacts> SimulatedFileFlags::entryAt(int dirFd, const std::string& name) {
  const auto seen = platform::statxFactsAt(dirFd, name);
  if (!seen) return std::nullopt;
  const auto flags = world_.read([&](const WorldRecord& world) { return worldFlagsOf(world, dirFd, name, *seen); });
  if (!flags) {
    errno = EOPNOTSUPP;
    return std::nullopt;
  }
  return platform::FlaggedFileFacts{seen->facts, *flags};
}

bool SimulatedFileFlags::clearAt(int dirFd, const std::string& name, std::uint32_t flags) {
  const auto seen = platform::statxFactsAt(dirFd, name);
  const auto key = seen ? objectKeyAt(dirFd, name, *seen) : std::nullopt;
  const auto current =
      key ? world_.read([&](const WorldRecord& world) { return worldFlagsOf(world, dirFd, name, *seen); })
          : std::nullopt;
  if (!current) {
    if (seen) errno = EOPNOTSUPP;
    return false;
  }
  const std::uint32_t clearing = *current & flags;
  const uid_t self = ::geteuid();
  if ((clearing & ~platform::kUserFlags) != 0 || (clearing != 0 && self != 0 && self != seen->facts.owner)) {
    errno = EPERM;
    return false;
  }
  if (clearing == 0) return true;
  try {
    storeFlags(directory_, dirFd, name, *seen, *key, *current & ~clearing, "");
  } catch (const WorldError&) {
    errno = EIO;
    return false;
  }
  return true;
}

bool SimulatedFileFlags::remove(int dirFd, const std::string& name, bool directory) {
  const auto parent = entryAt(dirFd, "");
  const auto seen = name.empty() ? std::nullopt : entryAt(dirFd, name);
  if (!parent || !seen) {
    if (name.empty()) errno = EINVAL;
    return false;
  }
  if ((seen->flags & platform::kFlagsPinningEntry) != 0 || (parent->flags & platform::kFlagsPinningContents) != 0) {
    errno = EPERM;
    return false;
  }
  if (::unlinkat(dirFd, name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) return false;
  if (seen->flags != 0 && (directory || seen->facts.links <= 1)) {
    try {
      World::update(directory_, [&](WorldRecord& world) {
        std::erase_if(world.fileFlags, [&](const WorldFileFlags& record) {
          return record.device == static_cast<std::uint64_t>(seen->facts.device) &&
                 record.inode == static_cast<std::uint64_t>(seen->facts.inode);
        });
      });
    } catch (const WorldError&) {
      // Harmless: a record is bound to the birth time of an object that no longer exists.
    }
  }
  return true;
}

void fileFlagsVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 2) throw WorldVerbUsageError("file-flags needs a path and a flag list (or none)");
  const std::string& path = arguments[0];
  std::uint32_t flags = 0;
  if (arguments[1] != "none") {
    std::string_view list = arguments[1];
    while (true) {
      const std::size_t comma = list.find(',');
      const std::string_view name = list.substr(0, comma);
      const auto bit = platform::fileFlagNamed(name);
      if (!bit) {
        throw WorldVerbUsageError("unknown flag \"" + std::string(name) +
                                  "\" (known: uchg, uappnd, schg, sappnd, hidden, compressed, nodump, opaque, arch, "
                                  "restricted, sunlnk; or none alone)");
      }
      flags |= *bit;
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
  }
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path[0] != '/' || slash + 1 == path.size()) {
    throw WorldVerbUsageError("file-flags needs an absolute path of an object below /");
  }
  const platform::UniqueFd root(::open((directory + "/root").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const platform::UniqueFd parent =
      root ? platform::openBeneath(root, slash == 0 ? "/" : path.substr(0, slash), O_RDONLY | O_DIRECTORY)
           : platform::UniqueFd();
  const std::string name = path.substr(slash + 1);
  const auto seen = parent ? platform::statxFactsAt(parent.get(), name) : std::nullopt;
  if (!seen) throw WorldError("Cannot find " + path + " in the simulated root: " + platform::errnoText(errno));
  const auto key = objectKeyAt(parent.get(), name, *seen);
  if (!key) {
    throw WorldError("The file system of the simulated root cannot tell " + path +
                     " from a later file with its inode number, so no flags were set.");
  }
  storeFlags(directory, parent.get(), name, *seen, *key, flags, path);
}

}  // namespace tidewarden::sim
