// Logical paths of startup items: standardization, and finding an entry beneath the root without following links.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>

#include "platform/directory_entries.h"
#include "platform/safe_name.h"
#include "platform/unique_fd.h"

namespace tidewarden::quarantine {

// The path with "." and empty components dropped and ".." taking away the component
// before it (never above "/"), without consulting the file system: links are not
// resolved. A relative path stays relative.
std::string standardizedPath(std::string_view path);

// "/a/b/c" -> "/a/b"; "/a" -> "/".
std::string parentPath(std::string_view standardized);
// "/a/b/c" -> "c"; "" for "/".
std::string lastComponent(std::string_view standardized);

// Where a standardized path is walked: macOS keeps /tmp, /var and /etc as fixed links into
// /private, so "/tmp/x" is reached as "/private/tmp/x". The logical path stays what the
// helper compares, reports and records; only the walk uses this spelling, and no other
// link is ever followed.
std::string walkPath(std::string_view standardized);

// One entry found beneath the root: the directory that holds it (opened with no link
// followed anywhere on the way) and its link-status. `directory` is invalid when the
// walk to it failed; `status` is empty when the entry does not exist or cannot be
// examined; `error` is the errno of whichever failed.
struct LocatedEntry {
  platform::UniqueFd directory;
  std::optional<platform::SafeName> name;
  std::optional<platform::EntryStatus> status;
  int error = 0;

  // True only when the walk succeeded and the entry is absent.
  bool absent() const { return directory.valid() && name && !status && error == ENOENT; }
  // A directory on the way does not exist. (ENOTDIR is not taken as absence: it is also
  // what a symbolic link in place of a directory gives.)
  bool missingDirectory() const { return !directory.valid() && error == ENOENT; }
};

// Finds the entry at an absolute standardized path. A path that is "/" or not absolute
// fails with EINVAL.
LocatedEntry locateEntry(const platform::UniqueFd& root, std::string_view standardized);

// True when something (of any kind, a dangling link included) exists at the path, false
// when the path's directory walk ends with the entry or one of its directories absent.
// Nothing when it cannot be told (a link or an unreadable folder on the way).
std::optional<bool> entryExists(const platform::UniqueFd& root, std::string_view standardized);

}  // namespace tidewarden::quarantine
