// Logical paths of startup items: standardization and link-free lookups beneath the root.
#include "quarantine/quarantine_paths.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

#include "platform/file_io.h"

namespace tidewarden::quarantine {

std::string standardizedPath(std::string_view path) {
  const bool absolute = !path.empty() && path.front() == '/';
  std::vector<std::string_view> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (component == "..") {
      if (!components.empty() && components.back() != "..") {
        components.pop_back();
      } else if (!absolute) {
        components.push_back(component);
      }
    } else if (!component.empty() && component != ".") {
      components.push_back(component);
    }
    start = end + 1;
  }
  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result += "/";
    result += components[i];
  }
  return result;
}

std::string parentPath(std::string_view standardized) {
  const std::size_t slash = standardized.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(standardized.substr(0, slash));
}

std::string lastComponent(std::string_view standardized) {
  const std::size_t slash = standardized.rfind('/');
  return std::string(slash == std::string_view::npos ? standardized : standardized.substr(slash + 1));
}

std::string walkPath(std::string_view standardized) {
  for (std::string_view linked : {"/tmp", "/var", "/etc"}) {
    if (standardized == linked || (standardized.starts_with(linked) && standardized[linked.size()] == '/')) {
      return "/private" + std::string(standardized);
    }
  }
  return std::string(standardized);
}

LocatedEntry locateEntry(const platform::UniqueFd& root, std::string_view standardized) {
  LocatedEntry entry;
  if (standardized.size() < 2 || standardized.front() != '/') {
    entry.error = EINVAL;
    return entry;
  }
  entry.name = platform::SafeName::make(lastComponent(standardized));
  if (!entry.name) {
    entry.error = EINVAL;
    return entry;
  }
  entry.directory = platform::openBeneath(root, walkPath(parentPath(standardized)), O_RDONLY | O_DIRECTORY);
  if (!entry.directory) {
    entry.error = errno;
    return entry;
  }
  entry.status = platform::entryStatusAt(entry.directory.get(), *entry.name);
  if (!entry.status) entry.error = errno;
  return entry;
}

std::optional<bool> entryExists(const platform::UniqueFd& root, std::string_view standardized) {
  const LocatedEntry entry = locateEntry(root, standardized);
  if (entry.status) return true;
  if (entry.absent() || entry.missingDirectory()) return false;
  return std::nullopt;
}

}  // namespace tidewarden::quarantine
