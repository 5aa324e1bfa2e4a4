// Which installer-download paths may ever be removed, and the re-validation that pins one before it is.
#include "storage/installer_removal_target.h"

#include <fcntl.h>

#include <cerrno>
#include <vector>

#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/process_facts.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

constexpr std::string_view kSafeNameAlphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.";
// Components of "/Users/Shared/Tidewarden" and of ".../C/com.apple.SoftwareUpdate".
constexpr std::size_t kOwnBaseComponents = 3;
constexpr std::size_t kAppleBaseComponents = 7;
constexpr std::size_t kAppleMinComponents = 8;
constexpr std::size_t kAppleMaxComponents = 25;

constexpr const char* kUnsafeDirectory =
    "An installer-download directory has unexpected ownership or unsafe permissions.";

std::string joined(const std::vector<std::string>& components, std::size_t count) {
  std::string path;
  for (std::size_t index = 0; index < count; ++index) path += "/" + components[index];
  return path;
}

}  // namespace

bool isSafeDownloadName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxSafeNameBytes && name != "." && name != ".." &&
         name.find_first_not_of(kSafeNameAlphabet) == std::string_view::npos;
}

std::optional<InstallerDownloadSource> classifyDownloadPath(std::string_view path) {
  std::optional<std::vector<std::string>> split;
  try {
    split = pathComponents(canonicalPath(path));
  } catch (const InstallerSafetyError&) {
    return std::nullopt;
  }
  if (!split) return std::nullopt;
  const std::vector<std::string>& c = *split;
  if (c.size() == 6 && c[0] == "Users" && c[1] == "Shared" && c[2] == "Tidewarden" && c[3] == "Downloads" &&
      isSafeDownloadName(c[4]) && (c[5] == kCompletePackageName || c[5] == kPartialPackageName)) {
    return InstallerDownloadSource::tidewarden;
  }
  if (c.size() >= kAppleMinComponents && c.size() <= kAppleMaxComponents && c[0] == "private" && c[1] == "var" &&
      c[2] == "folders" && c[3].size() == 2 && isSafeDownloadName(c[3]) && isSafeDownloadName(c[4]) && c[5] == "C" &&
      c[6] == "com.apple.SoftwareUpdate" && c.back() == kPartialPackageName) {
    return InstallerDownloadSource::appleSoftwareUpdate;
  }
  return std::nullopt;
}

InstallerFileIdentity inspectDownloadFile(int directoryFd, std::string_view name) {
  if (name != kCompletePackageName && name != kPartialPackageName) {
    throw InstallerSafetyError::refused("Not an approved installer filename.");
  }
  const std::optional<platform::FileFacts> facts = platform::fileFactsAt(directoryFd, std::string(name));
  if (!facts) {
    throw InstallerSafetyError::refused("Could not inspect installer download: " + platform::errnoText(errno));
  }
  if (!facts->regular) {
    throw InstallerSafetyError::refused("Installer download is not a regular file (symbolic links are not allowed).");
  }
  return fileIdentity(*facts);
}

platform::UniqueFd checkDownloadLock(int directoryFd, bool create) {
  platform::UniqueFd lock =
      platform::openAt(directoryFd, std::string(kDownloadLockName), O_RDWR | (create ? O_CREAT : 0), 0600);
  if (!lock) {
    if (errno == ENOENT && !create) return {};
    throw InstallerSafetyError::refused("Could not verify the download lock: " + platform::errnoText(errno));
  }
  const std::optional<platform::FileFacts> facts = platform::fileFacts(lock.get());
  if (!facts || !facts->regular || facts->links != 1) {
    throw InstallerSafetyError::refused("The download lock is redirected or invalid.");
  }
  if (!platform::tryLockExclusive(lock.get())) {
    if (errno == EWOULDBLOCK) {
      throw InstallerSafetyError::refused("Tidewarden is still downloading or preparing this installer.");
    }
    throw InstallerSafetyError::refused("Could not verify the download lock: " + platform::errnoText(errno));
  }
  return lock;
}

InstallerRemovalTarget validateRemovalTarget(const platform::Platform& platform, std::string_view path,
                                             const InstallerFileIdentity& scannedIdentity) {
  const std::optional<InstallerDownloadSource> source = classifyDownloadPath(path);
  if (!source) throw InstallerSafetyError::refused("Not an approved installer-download file.");
  if (scannedIdentity.links != 1) throw InstallerSafetyError::refused("Hard-linked files are not eligible.");
  const bool apple = *source == InstallerDownloadSource::appleSoftwareUpdate;
  const std::optional<uid_t> updater = platform.processFacts.userId(kSoftwareUpdateAccount);
  const auto isUpdater = [&](std::uint32_t owner) { return updater && owner == *updater; };
  if (apple && scannedIdentity.owner != 0 && !isUpdater(scannedIdentity.owner)) {
    throw InstallerSafetyError::refused(
        "The Apple download is not owned by root or the dedicated system software-update account; manual review is "
        "required.");
  }

  InstallerRemovalTarget target;
  target.path = canonicalPath(path);
  target.source = *source;
  const std::vector<std::string> components = *pathComponents(target.path);
  const std::size_t base = apple ? kAppleBaseComponents : kOwnBaseComponents;
  // The base, then each folder below it, each opened relative to the one before.
  platform::UniqueFd directory = openDirectoryNoFollow(platform.root, joined(components, base));
  for (std::size_t depth = base;; ++depth) {
    const std::optional<platform::FileFacts> facts = platform::fileFacts(directory.get());
    const bool ownerAllowed =
        facts && (facts->owner == 0 || (apple ? isUpdater(facts->owner) : facts->owner == scannedIdentity.owner));
    if (!facts || !facts->directory || !ownerAllowed || (facts->permissions & 022) != 0) {
      throw InstallerSafetyError::refused(kUnsafeDirectory);
    }
    if (depth == components.size() - 1) break;
    platform::UniqueFd next = platform::openAt(directory.get(), components[depth], O_RDONLY | O_DIRECTORY);
    if (!next) {
      throw InstallerSafetyError::refused("Could not safely open " + joined(components, depth + 1) + ": " +
                                          platform::errnoText(errno));
    }
    directory = std::move(next);
  }
  if (inspectDownloadFile(directory.get(), components.back()) != scannedIdentity) {
    throw InstallerSafetyError::refused("The file changed while its path was being checked.");
  }
  target.identity = scannedIdentity;
  if (!apple) target.lock = checkDownloadLock(directory.get(), /*create=*/false);
  target.directory = std::move(directory);
  return target;
}

}  // namespace tidewarden::storage
