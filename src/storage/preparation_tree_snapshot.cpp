// The exact, identity-checked picture of one preparation workspace's tree.
#include "storage/preparation_tree_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/utf8.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::storage {
namespace {

constexpr std::size_t kMaxNameBytes = 255;

std::uint32_t modeOf(const platform::FileFacts& facts) {
  std::uint32_t kind = 0;
  if (facts.regular) kind = S_IFREG;
  if (facts.directory) kind = S_IFDIR;
  if (facts.symbolicLink) kind = S_IFLNK;
  return kind | static_cast<std::uint32_t>(facts.permissions);
}

class TreeWalk {
 public:
  TreeWalk(PreparationTreeSnapshot& snapshot, platform::FileFlags& fileFlags, const TreeWalkDeadline* deadline)
      : snapshot_(snapshot), fileFlags_(fileFlags), deadline_(deadline) {}

  // Returns false when the entry limit or the deadline stopped the walk.
  bool walk(int dirFd, const std::string& prefix, std::uint64_t device, int depth) {
    if (pastDeadline()) return false;
    if (depth > kPreparationNestingLimit) {
      throw InstallerSafetyError::refused("Preparation directory nesting exceeds its safety limit.");
    }
    auto listing = platform::listDirectory(dirFd, kPreparationEntryLimit - listed_);
    if (!listing) {
      throw InstallerSafetyError::refused("Cannot open preparation directory " + shown(prefix) + ": " +
                                          platform::errnoText(errno));
    }
    listed_ += listing->names.size();
    if (listing->truncated) return false;
    std::string relative = prefix.empty() ? std::string() : prefix + "/";
    const std::size_t stem = relative.size();
    // Every name is inspected in the order the directory lists it, which is where the
    // file system finds it fastest (name order costs about a tenth more), and the
    // results are then taken in name order; the checks are the same either way.
    std::vector<Inspected> inspected;
    inspected.reserve(listing->names.size());
    for (std::string& name : listing->names) {
      if (inspected.size() % kEntriesPerDeadlineLook == kEntriesPerDeadlineLook - 1 && pastDeadline()) return false;
      if (!isSupportedPreparationName(name)) {
        throw InstallerSafetyError::refused("Preparation directory contains an unsupported filename.");
      }
      const auto seen = fileFlags_.entryAt(dirFd, name);
      if (!seen) {
        throw InstallerSafetyError::refused("Cannot inspect preparation entry " + relative + name + ": " +
                                            platform::errnoText(errno));
      }
      inspected.push_back({std::move(name), seen->facts, seen->flags});
    }
    reserveFor(inspected.size());
    for (const Inspected* ordered : nameOrder(inspected)) {
      const Inspected& entry = *ordered;
      const std::string& name = entry.name;
      const platform::FileFacts* facts = &entry.facts;
      relative.resize(stem);
      relative += name;
      if (!facts->regular && !facts->directory && !facts->symbolicLink) {
        throw InstallerSafetyError::refused("An unexpected special file is present in preparation storage: " +
                                            relative);
      }
      const InstallerFileIdentity identity = fileIdentity(*facts);
      if (identity.device != device) {
        throw InstallerSafetyError::refused("A mounted filesystem is present inside preparation storage at " +
                                            relative + ". Nothing beneath it is eligible for deletion.");
      }
      add(PreparationTreeEntry{relative, identity, modeOf(*facts), entry.flags});
      if (!facts->directory) continue;
      platform::UniqueFd child = platform::openAt(dirFd, name, O_RDONLY | O_DIRECTORY);
      if (!child) {
        throw InstallerSafetyError::refused("Cannot open preparation directory " + relative + ": " +
                                            platform::errnoText(errno));
      }
      const auto opened = platform::fileFacts(child.get());
      if (!opened || fileIdentity(*opened) != identity) {
        throw InstallerSafetyError::refused("Preparation directory was replaced during inspection: " + relative);
      }
      if (!walk(child.get(), relative, device, depth + 1)) return false;
    }
    return true;
  }

 private:
  struct Inspected {
    std::string name;
    platform::FileFacts facts;
    std::uint32_t flags;
  };

  static constexpr std::size_t kEntriesPerDeadlineLook = 256;

  bool pastDeadline() const { return deadline_ != nullptr && deadline_->clock() >= deadline_->at; }

  static std::string shown(const std::string& prefix) { return prefix.empty() ? "." : prefix; }

  // The entries in byte order of their names. Sorted as small keys (the first eight bytes
  // of the name, big-endian, so that comparing keys compares bytes) with the whole names
  // compared only where the keys tie: moving and comparing whole records costs more than
  // the listing itself.
  static std::vector<const Inspected*> nameOrder(const std::vector<Inspected>& inspected) {
    struct Key {
      std::uint64_t prefix;
      const Inspected* entry;
    };
    std::vector<Key> keys;
    keys.reserve(inspected.size());
    for (const Inspected& entry : inspected) {
      std::uint64_t prefix = 0;
      for (std::size_t i = 0; i < 8; ++i) {
        const auto byte = i < entry.name.size() ? static_cast<unsigned char>(entry.name[i]) : 0u;
        prefix = (prefix << 8) | byte;
      }
      keys.push_back({prefix, &entry});
    }
    std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) {
      if (a.prefix != b.prefix) return a.prefix < b.prefix;
      return a.entry->name < b.entry->name;
    });
    std::vector<const Inspected*> order;
    order.reserve(keys.size());
    for (const Key& key : keys) order.push_back(key.entry);
    return order;
  }

  // Grows the entry list geometrically ahead of a directory's names, so that a large
  // tree is not copied entry by entry at every doubling of a small list.
  void reserveFor(std::size_t more) {
    std::vector<PreparationTreeEntry>& entries = snapshot_.entries;
    const std::size_t needed = entries.size() + more;
    if (needed > entries.capacity()) entries.reserve(std::max(needed, entries.capacity() * 2));
  }

  void add(PreparationTreeEntry entry) {
    const InstallerFileIdentity& identity = entry.identity;
    if (__builtin_add_overflow(snapshot_.allocatedBytes, identity.allocatedBytes, &snapshot_.allocatedBytes) ||
        __builtin_add_overflow(snapshot_.logicalBytes, std::max<std::int64_t>(identity.logicalBytes, 0),
                               &snapshot_.logicalBytes)) {
      throw InstallerSafetyError::refused("Preparation allocation exceeds the supported measurement range.");
    }
    snapshot_.modifiedAt = std::max(snapshot_.modifiedAt, identity.modifiedSeconds);
    snapshot_.entries.push_back(std::move(entry));
  }

  PreparationTreeSnapshot& snapshot_;
  platform::FileFlags& fileFlags_;
  const TreeWalkDeadline* deadline_;
  std::size_t listed_ = 0;  // names listed so far, over every directory
};

}  // namespace

bool isSupportedPreparationName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes) return false;
  if (!platform::isValidUtf8(name)) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/') return false;
  }
  // C1 controls (U+0080 to U+009F) are two bytes in UTF-8: C2 80 to C2 9F.
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    const auto lead = static_cast<unsigned char>(name[i]);
    const auto next = static_cast<unsigned char>(name[i + 1]);
    if (lead == 0xC2 && next >= 0x80 && next <= 0x9F) return false;
  }
  return true;
}

PreparationTreeSnapshot snapshotPreparationTree(int workspaceFd, platform::FileFlags& fileFlags,
                                                const TreeWalkDeadline* deadline) {
  const auto workspace = platform::fileFacts(workspaceFd);
  if (!workspace || !workspace->directory) {
    throw InstallerSafetyError::refused("Cannot open preparation directory .: " +
                                        platform::errnoText(workspace ? ENOTDIR : errno));
  }
  PreparationTreeSnapshot snapshot;
  // Room for the most entries a walk may hold, taken at once, so a large tree is never
  // copied while its list grows (pages it does not reach are never touched); a list that
  // came out much smaller gives the rest back, since approvals keep snapshots for minutes.
  snapshot.entries.reserve(kPreparationEntryLimit);
  snapshot.modifiedAt = workspace->modifiedSeconds;
  TreeWalk walk(snapshot, fileFlags, deadline);
  snapshot.complete = walk.walk(workspaceFd, "", static_cast<std::uint64_t>(workspace->device), 0);
  if (snapshot.entries.capacity() > 2 * snapshot.entries.size()) snapshot.entries.shrink_to_fit();
  return snapshot;
}

}  // namespace tidewarden::storage
