// BSD file flags (chflags): what an entry carries, clearing them, and the removals they forbid.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_io.h"

namespace tidewarden::platform {

// macOS's flag bits (sys/stat.h), named as chflags(1) and `ls -lO` name them.
inline constexpr std::uint32_t kFlagNoDump = 0x00000001;           // UF_NODUMP "nodump"
inline constexpr std::uint32_t kFlagUserImmutable = 0x00000002;    // UF_IMMUTABLE "uchg"
inline constexpr std::uint32_t kFlagUserAppend = 0x00000004;       // UF_APPEND "uappnd"
inline constexpr std::uint32_t kFlagOpaque = 0x00000008;           // UF_OPAQUE "opaque"
inline constexpr std::uint32_t kFlagCompressed = 0x00000020;       // UF_COMPRESSED "compressed"
inline constexpr std::uint32_t kFlagTracked = 0x00000040;          // UF_TRACKED (renames and deletes are noted)
inline constexpr std::uint32_t kFlagHidden = 0x00008000;           // UF_HIDDEN "hidden"
inline constexpr std::uint32_t kFlagArchived = 0x00010000;         // SF_ARCHIVED "arch"
inline constexpr std::uint32_t kFlagSystemImmutable = 0x00020000;  // SF_IMMUTABLE "schg"
inline constexpr std::uint32_t kFlagSystemAppend = 0x00040000;     // SF_APPEND "sappnd"
inline constexpr std::uint32_t kFlagRestricted = 0x00080000;       // SF_RESTRICTED "restricted" (SIP)
inline constexpr std::uint32_t kFlagSystemNoUnlink = 0x00100000;   // SF_NOUNLINK "sunlnk"
// The owner's own flags (UF_SETTABLE); the rest are the system's, which only root sets
// and which root cannot clear at the normal security level.
inline constexpr std::uint32_t kUserFlags = 0x0000ffff;
// The flags an owner (or root) may clear so that an entry can be removed.
inline constexpr std::uint32_t kClearableUserFlags = kFlagUserImmutable | kFlagUserAppend;

// The flags that forbid unlinking, removing or renaming the entry that carries them.
inline constexpr std::uint32_t kFlagsPinningEntry = kFlagUserImmutable | kFlagUserAppend | kFlagSystemImmutable |
                                                    kFlagSystemAppend | kFlagRestricted | kFlagSystemNoUnlink;
// The flags of a directory that forbid removing (or renaming away) the entries in it.
inline constexpr std::uint32_t kFlagsPinningContents =
    kFlagUserImmutable | kFlagUserAppend | kFlagSystemImmutable | kFlagSystemAppend | kFlagRestricted;
// Flags that stand in the way of removing nothing at all.
inline constexpr std::uint32_t kHarmlessFlags =
    kFlagNoDump | kFlagOpaque | kFlagCompressed | kFlagTracked | kFlagHidden | kFlagArchived;

// The flags that stand in the way of removing an entry with `flags` and, for a
// directory, everything in it. A bit this program does not know counts, so that an
// unknown flag is never taken for a harmless one.
constexpr std::uint32_t flagsBlockingRemoval(std::uint32_t flags, bool directory) {
  const std::uint32_t pinning = kFlagsPinningEntry | (directory ? kFlagsPinningContents : 0);
  const std::uint32_t known = pinning | kHarmlessFlags;
  return flags & (pinning | ~known);
}

// "uchg,schg": chflags(1)'s names, an unknown bit in hexadecimal; "none" for 0.
std::string fileFlagNames(std::uint32_t flags);
// The bit of one chflags(1) name ("uchg", "schg", "hidden", ...), or nothing.
std::optional<std::uint32_t> fileFlagNamed(std::string_view name);

// An entry's status and its flags, seen in one look.
struct FlaggedFileFacts {
  FileFacts facts;
  std::uint32_t flags = 0;
};

// The BSD flags of the entries the helper reviews and removes, and the removals
// themselves, which a flag may forbid: every unlink and rmdir of a reviewed entry
// goes through here so that the machine's flag rules apply to it.
class FileFlags {
 public:
  virtual ~FileFlags() = default;
  // The status and flags of the entry `name` in `dirFd` (a symbolic link itself, never
  // followed; "" stands for `dirFd` itself). Nothing, with errno set, when either cannot
  // be known: flags that cannot be read are never reported as none.
  virtual std::optional<FlaggedFileFacts> entryAt(int dirFd, const std::string& name) = 0;
  // Clears the bits `flags` (only those) of the entry `name` in `dirFd`, not following
  // a link. False with errno set when they could not be cleared (EPERM for system
  // flags, or for someone else's entry); the flags are then as they were.
  virtual bool clearAt(int dirFd, const std::string& name, std::uint32_t flags) = 0;
  // unlinkat(dirFd, name, 0) and unlinkat(dirFd, name, AT_REMOVEDIR). Fail with EPERM,
  // changing nothing, while the entry carries a flag of kFlagsPinningEntry or its
  // directory one of kFlagsPinningContents. False with errno preserved.
  virtual bool removeFileAt(int dirFd, const std::string& name) = 0;
  virtual bool removeDirectoryAt(int dirFd, const std::string& name) = 0;
};

// Linux has no BSD flags; its inode attributes stand in for them (see the body in
// platform/linux/linux_file_flags.cpp for the mapping) and the kernel enforces them.
std::unique_ptr<FileFlags> makeFileFlags();

}  // namespace tidewarden::platform
