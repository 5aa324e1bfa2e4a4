// Bottom-up removal of exactly the entries of an approved tree snapshot.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/file_flags.h"
#include "storage/preparation_tree_snapshot.h"

namespace tidewarden::storage {

// Removes the contents of a pinned directory only where every entry is still the one in
// the approved snapshot (same path, identity and kind): each directory is re-opened
// without following a link and required unchanged before it is entered, each entry
// re-inspected through its pinned parent right before it is unlinked, and a new,
// changed, replaced or mounted entry stops the removal there (its flags are part of what
// must be unchanged). A file with several names, all inside the approved tree, may lose
// its other names to this removal before its turn. Flags that forbid a removal (see
// unclearableFlagsReason) are cleared just before it: an entry's before it goes, a
// directory's before its contents. Every unlink and rmdir goes through the platform's
// FileFlags. What was removed stays removed; nothing is retried and nothing outside the
// directory is touched.
class ApprovedTreeRemoval {
 public:
  // How the messages name what is removed.
  struct Vocabulary {
    std::string noun;          // "preparation", "installer"
    std::string stoppedText;   // after a new entry: "Cleanup stopped."
  };
  static Vocabulary preparationVocabulary() { return {"preparation", "Cleanup stopped."}; }

  ApprovedTreeRemoval(const PreparationTreeSnapshot& approved, std::string shownPath, Vocabulary vocabulary,
                      platform::FileFlags& fileFlags);

  // Throws InstallerSafetyError at the first entry that is not as approved.
  void removeContents(int dirFd, const std::string& prefix, std::uint64_t device, int depth);

  // Clears the flags that would forbid removing the entry `name` in `dirFd` (owner
  // `owner`, carrying `flags`) or, for a directory, its contents; throws when they may
  // not be cleared (unclearableFlagsReason) or clearing fails. Returns the bits cleared.
  std::uint32_t clearBlockingFlags(int dirFd, const std::string& name, std::uint32_t flags, bool directory,
                                   std::uint32_t owner, const std::string& path) const;

  std::int64_t removedBytes() const { return removedBytes_; }
  std::size_t removedEntries() const { return removedEntries_; }

 private:
  [[noreturn]] void refuse(const std::string& message) const;
  [[noreturn]] void refuseWithErrno(const std::string& prefix, int err) const;
  std::string shown(const std::string& relative) const;
  std::string capital() const;
  bool changedOnlyByOurUnlinks(const InstallerFileIdentity& now, const InstallerFileIdentity& approved) const;

  struct Names {
    std::uint64_t approved = 0;  // names of the file in the approved tree
    std::uint64_t removed = 0;   // of those, unlinked by this removal so far
    std::uint32_t clearedFlags = 0;  // flags this removal cleared on the file
  };

  std::string shownPath_;
  Vocabulary vocabulary_;
  platform::FileFlags& fileFlags_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Names> names_;  // by device and inode
  std::unordered_map<std::string, const PreparationTreeEntry*> approved_;
  std::int64_t removedBytes_ = 0;
  std::size_t removedEntries_ = 0;
};

// Why an entry carrying `flags` (owner `owner`) could not be removed by clearing them,
// or nothing when it can: flags that forbid removing it (or, for a directory, its
// contents) may be cleared only when they are the owner's own immutable and append-only
// flags on a root-owned entry; system flags, which root cannot clear, and flag bits not
// known here never. Flags that forbid nothing (hidden, compressed, nodump) do not count.
// The reason reads after the entry's path: "carries the file flags schg, which cannot
// be cleared".
std::optional<std::string> unclearableFlagsReason(std::uint32_t flags, bool directory, std::uint32_t owner);

}  // namespace tidewarden::storage
