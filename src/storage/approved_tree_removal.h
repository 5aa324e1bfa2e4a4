// Bottom-up removal of exactly the entries of an approved tree snapshot.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "storage/preparation_tree_snapshot.h"

namespace tidewarden::storage {

// Removes the contents of a pinned directory only where every entry is still the one in
// the approved snapshot (same path, identity and kind): each directory is re-opened
// without following a link and required unchanged before it is entered, each entry
// re-inspected through its pinned parent right before it is unlinked, and a new,
// changed, replaced or mounted entry stops the removal there. What was removed stays
// removed; nothing is retried and nothing outside the directory is touched.
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

  ApprovedTreeRemoval(const PreparationTreeSnapshot& approved, std::string shownPath, Vocabulary vocabulary);

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

  std::string shownPath_;
  Vocabulary vocabulary_;
  std::unordered_map<std::string, const PreparationTreeEntry*> approved_;
  std::int64_t removedBytes_ = 0;
  std::size_t removedEntries_ = 0;
};

}  // namespace tidewarden::storage
