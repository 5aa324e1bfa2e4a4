// The bounded, thread-safe cache of verified file digests and the file identity it is keyed by.
#include "platform/code_signing_cache.h"

#include <algorithm>

namespace tidewarden::platform::codesign {
namespace {

bool sameTime(const std::timespec& a, const std::timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

FileIdentity FileIdentity::of(const struct stat& st) {
  return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         sameTime(modified, other.modified) && sameTime(changed, other.changed);
}

bool settledBefore(const FileIdentity& identity, const std::timespec& hashingStarted) {
  const std::time_t settledAt = identity.changed.tv_sec + kSettledSeconds;
  return settledAt < hashingStarted.tv_sec ||
         (settledAt == hashingStarted.tv_sec && identity.changed.tv_nsec <= hashingStarted.tv_nsec);
}

std::optional<Digest> DigestCache::find(const FileIdentity& identity, std::uint64_t length) {
  std::lock_guard lock(mutex_);
  for (Entry& entry : entries_) {
    if (entry.identity == identity && entry.length == length) {
      entry.lastUse = ++uses_;
      return entry.digest;
    }
  }
  return std::nullopt;
}

void DigestCache::store(const FileIdentity& identity, std::uint64_t length, const Digest& digest) {
  std::lock_guard lock(mutex_);
  auto existing = std::find_if(entries_.begin(), entries_.end(),
                               [&](const Entry& entry) { return entry.identity == identity && entry.length == length; });
  if (existing == entries_.end()) {
    if (entries_.size() < kCapacity) {
      existing = entries_.emplace(entries_.end());
    } else {
      existing = std::min_element(entries_.begin(), entries_.end(),
                                  [](const Entry& a, const Entry& b) { return a.lastUse < b.lastUse; });
    }
  }
  *existing = Entry{identity, length, digest, ++uses_};
}

}  // namespace tidewarden::platform::codesign
