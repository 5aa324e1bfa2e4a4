// Path grammar, canonical spelling and link-refusing, same-file-system walks beneath approved roots.
#include "storage/safe_paths.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/file_io.h"
#include "platform/uuid.h"
#include "storage/installer_file_identity.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::storage {
namespace {

using platform::UniqueFd;

constexpr std::string_view kDataVolumePrefix = "/System/Volumes/Data/";
constexpr std::size_t kDataVolumePrefixLength = 20;  // "/System/Volumes/Data" without the slash
constexpr std::string_view kVarPrefix = "/var/";
constexpr std::string_view kPrivatePrefix = "/private";

InstallerSafetyError refusal(const std::string& message) { return InstallerSafetyError::refused(message); }

// prefix + subject + ": " + the system's text for `err`.
InstallerSafetyError systemRefusal(const std::string& prefix, std::string_view subject, int err) {
  return refusal(prefix + std::string(subject) + ": " + platform::errnoText(err));
}

struct CanonicalPair {
  std::string path;
  std::string root;
  std::vector<std::string> relative;
};

CanonicalPair canonicalBeneath(std::string_view path, std::string_view root) {
  CanonicalPair pair{canonicalPath(path), canonicalPath(root), {}};
  // Both passed the grammar inside canonicalPath.
  const std::vector<std::string> pathParts = *pathComponents(pair.path);
  const std::vector<std::string> rootParts = *pathComponents(pair.root);
  bool beneath = pathParts.size() > rootParts.size();
  for (std::size_t index = 0; beneath && index < rootParts.size(); ++index) {
    beneath = pathParts[index] == rootParts[index];
  }
  if (!beneath) {
    throw refusal("Preparation path is outside its exact approved root. Path: " + pair.path + ". Root: " + pair.root +
                  ".");
  }
  pair.relative.assign(pathParts.begin() + static_cast<std::ptrdiff_t>(rootParts.size()), pathParts.end());
  return pair;
}

}  // namespace

std::optional<std::vector<std::string>> pathComponents(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.back() == '/' || path.size() > kMaxPathBytes) return std::nullopt;
  if (path.find_first_of(std::string_view("\0\n\r", 3)) != std::string_view::npos) return std::nullopt;
  if (path.find("//") != std::string_view::npos) return std::nullopt;
  std::vector<std::string> components;
  std::string_view rest = path.substr(1);
  for (;;) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (component == "." || component == ".." || component.size() > kMaxComponentBytes) return std::nullopt;
    components.emplace_back(component);
    if (slash == std::string_view::npos) return components;
    rest.remove_prefix(slash + 1);
  }
}

std::string canonicalPath(std::string_view path) {
  std::string canonical(path);
  if (canonical.starts_with(kDataVolumePrefix)) canonical.erase(0, kDataVolumePrefixLength);
  if (canonical.starts_with(kVarPrefix)) canonical.insert(0, kPrivatePrefix);
  if (canonical.size() > 1 && canonical.back() == '/') canonical.pop_back();
  if (!pathComponents(canonical)) throw refusal("Malformed preparation path: " + std::string(path));
  return canonical;
}

std::vector<std::string> approvedRelativeComponents(std::string_view path, std::string_view root) {
  return canonicalBeneath(path, root).relative;
}

UniqueFd openDirectoryNoFollow(const UniqueFd& root, std::string_view path) {
  if (!pathComponents(path)) throw refusal("Invalid directory path.");
  if (!root.valid()) throw systemRefusal("Could not open filesystem root", "", EBADF);
  // Every component, the last included, is opened O_DIRECTORY|O_NOFOLLOW relative to
  // the one before: a symbolic link anywhere fails the open.
  UniqueFd directory = platform::openBeneath(root, path, O_RDONLY | O_DIRECTORY);
  if (!directory) throw systemRefusal("Could not safely open ", path, errno);
  return directory;
}

UniqueFd openFileBeneathApprovedRoot(const UniqueFd& root, std::string_view path, std::string_view approvedRoot) {
  const CanonicalPair pair = canonicalBeneath(path, approvedRoot);
  UniqueFd directory = openDirectoryNoFollow(root, pair.root);
  const std::optional<platform::FileFacts> rootFacts = platform::fileFacts(directory.get());
  if (!rootFacts) throw systemRefusal("Cannot inspect approved preparation root ", pair.root, errno);

  const std::vector<std::string>& components = pair.relative;
  for (std::size_t index = 0; index + 1 < components.size(); ++index) {
    const std::string& component = components[index];
    UniqueFd next = platform::openAt(directory.get(), component, O_RDONLY | O_DIRECTORY);
    if (!next) {
      throw systemRefusal("Unsafe or unreadable preparation ancestor " + component + " in ", pair.path, errno);
    }
    const std::optional<platform::FileFacts> facts = platform::fileFacts(next.get());
    if (!facts || facts->device != rootFacts->device) {
      throw refusal("Unexpected filesystem boundary within " + pair.path + ".");
    }
    directory = std::move(next);
  }

  // O_NONBLOCK: a FIFO planted as the file must not hang the open; it is refused below.
  UniqueFd file = platform::openAt(directory.get(), components.back(), O_RDONLY | O_NONBLOCK);
  if (!file) throw systemRefusal("Could not safely open preparation file ", pair.path, errno);
  const std::optional<platform::FileFacts> facts = platform::fileFacts(file.get());
  if (!facts || !facts->regular || facts->device != rootFacts->device) {
    throw refusal("Preparation input is not a regular file on the approved filesystem: " + pair.path + ".");
  }
  return file;
}

std::string readBoundedMetadata(const UniqueFd& root, std::string_view path, std::string_view approvedRoot,
                                std::size_t limitBytes) {
  const UniqueFd file = openFileBeneathApprovedRoot(root, path, approvedRoot);
  const std::string shown = canonicalPath(path);
  const std::optional<platform::FileFacts> before = platform::fileFacts(file.get());
  if (!before) throw systemRefusal("Could not read ", shown, errno);
  if (before->size <= 0 || static_cast<std::size_t>(before->size) > limitBytes) {
    throw refusal("Metadata is empty or exceeds its size limit: " + shown + ".");
  }
  std::string bytes;
  if (!platform::readAll(file.get(), bytes, limitBytes)) {
    if (errno == EFBIG) throw refusal("Metadata grew beyond its size limit: " + shown + ".");
    throw systemRefusal("Could not read ", shown, errno);
  }
  const std::optional<platform::FileFacts> after = platform::fileFacts(file.get());
  if (!after || fileIdentity(*after) != fileIdentity(*before)) {
    throw refusal("Metadata changed while it was read: " + shown + ".");
  }
  return bytes;
}

std::optional<std::string> workspaceIdentifier(std::string_view path) {
  std::vector<std::string> relative;
  try {
    relative = approvedRelativeComponents(path, kPreparationRoot);
  } catch (const InstallerSafetyError&) {
    return std::nullopt;
  }
  if (relative.size() != 1) return std::nullopt;
  const std::optional<std::string> parsed = platform::parseUuidString(relative.front());
  if (!parsed || *parsed != relative.front()) return std::nullopt;
  return parsed;
}

}  // namespace tidewarden::storage
