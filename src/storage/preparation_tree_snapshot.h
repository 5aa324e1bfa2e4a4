// The exact, identity-checked picture of one preparation workspace's tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_flags.h"
#include "storage/installer_file_identity.h"

namespace tidewarden::storage {

// Limits of every walk through preparation storage (snapshot and deletion).
// The most entries one snapshot holds, over the whole tree; one directory listing
// stops one name past it. The snapshot's memory is bounded by it.
inline constexpr std::size_t kPreparationEntryLimit = 100000;
// The deepest directory below the workspace that is entered.
inline constexpr int kPreparationNestingLimit = 63;

inline constexpr const char* kPreparationEntryLimitReached =
    "Preparation inspection reached its entry limit; no complete measurement is available.";
inline constexpr const char* kPreparationSafetyLimitExceeded =
    "Preparation inspection exceeded its safety limit. Results are incomplete; removal is blocked.";

// One object below a workspace, as seen by the snapshot.
struct PreparationTreeEntry {
  std::string relativePath;  // from the workspace, "/"-separated, no leading "/"
  InstallerFileIdentity identity;
  std::uint32_t mode = 0;  // st_mode: kind and permission bits
  std::uint32_t flags = 0;  // its BSD file flags (platform/file_flags.h)

  friend bool operator==(const PreparationTreeEntry&, const PreparationTreeEntry&) = default;
};

// Every entry below a workspace in walk order (depth first, names in byte order), and
// their sums.
struct PreparationTreeSnapshot {
  std::vector<PreparationTreeEntry> entries;
  std::int64_t allocatedBytes = 0;
  std::int64_t logicalBytes = 0;
  // The latest modification time seen (the workspace folder's own included), in
  // seconds since 1970.
  std::int64_t modifiedAt = 0;
  // False when the entry limit stopped the walk: `entries` and the sums then cover
  // part of the tree only, and nothing may be removed on the strength of it.
  bool complete = true;

  // Two snapshots agree when they list the same entries in the same order.
  friend bool operator==(const PreparationTreeSnapshot& a, const PreparationTreeSnapshot& b) {
    return a.entries == b.entries;
  }
};

// Whether a name found below a workspace may be measured and removed: a single path
// component ("", ".", "..", "/" and NUL excluded) of valid UTF-8, at most 255 bytes,
// without control characters. Installer bundles carry spaces ("Install macOS ….app")
// and so are accepted; a line break, which would make a path ambiguous in tool output
// and in messages, is not.
bool isSupportedPreparationName(std::string_view name);

// A time limit for one walk: `clock` tells the time (seconds, any scale), and the walk
// stops, incomplete, once it reads `at` or later.
struct TreeWalkDeadline {
  std::function<double()> clock;
  double at;
};

// Walks the tree below `workspaceFd` without following a link: every directory is
// listed, every entry inspected where it is, with its flags (a symbolic link is measured
// as a link, never followed; flags that cannot be read stop the walk), and every
// subdirectory opened with O_NOFOLLOW and required to be the object just inspected.
// Only directories, regular files and links may exist; a different device (a mount)
// anywhere stops the walk, as does nesting deeper than kPreparationNestingLimit.
// Reaching kPreparationEntryLimit, or the `deadline` when one is given (looked at for
// every directory and every 256 entries), gives an incomplete snapshot. Every other
// problem throws InstallerSafetyError with the reason.
PreparationTreeSnapshot snapshotPreparationTree(int workspaceFd, platform::FileFlags& fileFlags,
                                                const TreeWalkDeadline* deadline = nullptr);

}  // namespace tidewarden::storage
