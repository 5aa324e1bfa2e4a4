// Digests of single-file code that verified, kept by file identity so an unchanged file is hashed once.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/code_signing_format.h"

namespace tidewarden::platform::codesign {

// What tells one unchanged file from any other state of it: where it lives, and the size
// and times every write changes.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::timespec modified{};
  std::timespec changed{};

  static FileIdentity of(const struct stat& st);
  bool operator==(const FileIdentity& other) const;
};

// True when the file's change time lies at least kSettledSeconds before `hashingStarted`,
// so that any write from then on stamps a change time that differs from the recorded one.
// File times come from the kernel's coarse clock (one value per tick of a few
// milliseconds), and some file systems keep them in whole or even two-second steps: a
// write just after a file was last changed may leave its times exactly as they were. Only
// a change time clearly older than the start of hashing rules that out.
inline constexpr std::time_t kSettledSeconds = 2;
bool settledBefore(const FileIdentity& identity, const std::timespec& hashingStarted);

// The verified digests, bounded to kCapacity entries (the least recently used one
// goes first) and safe to use from several threads at once. It stores what the caller
// hands in; the caller decides what is sound to store (see checkContent in
// code_signing.cpp).
class DigestCache {
 public:
  static constexpr std::size_t kCapacity = 64;

  // The digest of the first `length` bytes of the file with exactly this identity.
  std::optional<Digest> find(const FileIdentity& identity, std::uint64_t length);
  void store(const FileIdentity& identity, std::uint64_t length, const Digest& digest);

 private:
  struct Entry {
    FileIdentity identity;
    std::uint64_t length = 0;
    Digest digest{};
    std::uint64_t lastUse = 0;
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::uint64_t uses_ = 0;
};

}  // namespace tidewarden::platform::codesign
