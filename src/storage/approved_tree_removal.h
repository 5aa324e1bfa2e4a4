// Bottom-up removal of exactly the entries of an approved tree snapshot.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/directory_io.h"

#include "storage/preparation_tree_snapshot.h"

namespace tidewarden::storage {

// How a removal reads and clears an entry's BSD user flags: through the platform
// (platform/directory_io.h) unless a test stands in its own, since Linux has none.
struct PreparationEntryFlags {
  std::function<std::optional<std::uint32_t>(int dirFd, const std::string& name)> read = platform::userFlagsAt;
  std::function<bool(int dirFd, const std::string& name)> clear = platform::clearUserFlagsAt;
};

// Removes the contents of a pinned directory only where every entry is still the one in
// the approved snapshot (same path, identity and kind): each directory is re-opened
// without following a link and required unchanged before it is entered, each entry
// re-inspected through its pinned parent right before it is unlinked, and a new,
// changed, replaced or mounted entry stops the removal there. A file with several names,
// all inside the approved tree, may lose its other names to this removal before its turn.
// An entry's flags go before it does, a directory's before its contents. What was removed
// stays removed; nothing is retried and nothing outside the directory is touched.
class ApprovedTreeRemoval {
 public:
  // How the messages name what is removed, and whether root-owned BSD user flags
  // (immutable, append-only) left by the helper's own extraction may be cleared.
  struct Vocabulary {
    std::string noun;          // "preparation", "installer"
    std::string stoppedText;   // after a new entry: "Cleanup stopped."
    bool clearRootOwnedFlags = false;
  };
  static Vocabulary preparationVocabulary() { return {"preparation", "Cleanup stopped.", true}; }

  ApprovedTreeRemoval(const PreparationTreeSnapshot& approved, std::string shownPath, Vocabulary vocabulary,
                      PreparationEntryFlags flags = {});

  // Throws InstallerSafetyError at the first entry that is not as approved.
  void removeContents(int dirFd, const std::string& prefix, std::uint64_t device, int depth);

  std::int64_t removedBytes() const { return removedBytes_; }
  std::size_t removedEntries() const { return removedEntries_; }

 private:
  [[noreturn]] void refuse(const std::string& message) const;
  [[noreturn]] void refuseWithErrno(const std::string& prefix, int err) const;
  std::string shown(const std::string& relative) const;
  std::string capital() const;
  void clearFlags(int dirFd, const std::string& name, std::uint32_t owner, const std::string& path) const;
  bool changedOnlyByOurUnlinks(const InstallerFileIdentity& now, const InstallerFileIdentity& approved) const;

  struct Names {
    std::uint64_t approved = 0;  // names of the file in the approved tree
    std::uint64_t removed = 0;   // of those, unlinked by this removal so far
  };

  std::string shownPath_;
  Vocabulary vocabulary_;
  PreparationEntryFlags flags_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Names> names_;  // by device and inode
  std::unordered_map<std::string, const PreparationTreeEntry*> approved_;
  std::int64_t removedBytes_ = 0;
  std::size_t removedEntries_ = 0;
};

}  // namespace tidewarden::storage
