// Putting exactly one verified SharedSupport.dmg into the extracted installer, by rename only.
#include "materialize/shared_support_assembly.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "materialize/disk_image_description.h"
#include "materialize/hybrid_package.h"
#include "materialize/private_package_snapshot.h"
#include "platform/directory_entries.h"
#include "platform/file_io.h"
#include "storage/installer_file_identity.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::materialize {
namespace {

using platform::UniqueFd;
using storage::InstallerSafetyError;

constexpr std::string_view kSharedSupportFolder = "SharedSupport";

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }
[[noreturn]] void refuseWithErrno(const std::string& prefix, int err) {
  refuse(prefix + ": " + platform::errnoText(err));
}

// A directory of the assembly, opened beneath `parent` without following a link, owned
// by root and on the workspace's file system.
UniqueFd openPinned(int parent, const std::string& name, const std::string& path, dev_t device) {
  UniqueFd directory = platform::openAt(parent, name, O_RDONLY | O_DIRECTORY);
  if (!directory) refuseWithErrno("Cannot open SharedSupport assembly directory " + path, errno);
  const auto facts = platform::fileFacts(directory.get());
  if (!facts || !facts->directory || facts->owner != 0 || facts->device != device) {
    refuse("SharedSupport assembly directory is redirected, not root-owned, or on another filesystem: " + path);
  }
  return directory;
}

// Whether `name` exists in `directory` at all (a link or anything else counts).
bool present(int directory, const std::string& name, const std::string& path) {
  if (platform::fileFactsAt(directory, name)) return true;
  if (errno == ENOENT) return false;
  refuseWithErrno("Cannot inspect SharedSupport assembly entry " + path, errno);
}

// The content identity a rename keeps: the rename itself changes the change time.
bool sameMovedFile(const storage::InstallerFileIdentity& a, const storage::InstallerFileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.logicalBytes == b.logicalBytes &&
         a.allocatedBytes == b.allocatedBytes && a.modifiedSeconds == b.modifiedSeconds &&
         a.modifiedNanoseconds == b.modifiedNanoseconds && a.links == b.links && a.owner == b.owner;
}

void requireHybridSnapshot(int workspace, const std::string& path) {
  const UniqueFd file = platform::openAt(workspace, std::string(kSnapshotName), O_RDONLY | O_NONBLOCK);
  if (!file) {
    if (errno == ENOENT) {
      refuse("SharedSupport.dmg is absent from the app and its own expanded component, and the private package "
             "snapshot is missing. The original download has not been substituted.");
    }
    refuseWithErrno("Cannot safely open SharedSupport source " + std::string(kSnapshotName), errno);
  }
  const auto facts = platform::fileFacts(file.get());
  if (!facts) refuseWithErrno("Cannot inspect SharedSupport assembly entry " + path, errno);
  if (facts->size < static_cast<off_t>(kHybridBlockBytes)) {
    refuse("No separate SharedSupport.dmg was found, and the package is too short to be a UDIF image.");
  }
  std::string header(kHybridBlockBytes, '\0');
  std::string trailer(kHybridBlockBytes, '\0');
  const auto readBlock = [&](std::string& block, off_t offset) {
    std::size_t got = 0;
    while (got < block.size()) {
      const ssize_t n = ::pread(file.get(), block.data() + got, block.size() - got, offset + static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      got += static_cast<std::size_t>(n);
    }
    return true;
  };
  if (!readBlock(header, 0) || !readBlock(trailer, facts->size - static_cast<off_t>(kHybridBlockBytes))) {
    refuse("The private package header/footer could not be read completely.");
  }
  if (!isHybridPackage(header, trailer, facts->size)) {
    refuse("The expanded app has no SharedSupport.dmg, no image exists beside its own Payload, and the signed "
           "package is not a supported XAR/UDIF hybrid. Assembly stopped rather than treating a missing image as "
           "a valid installer.");
  }
}

}  // namespace

SharedSupportSource assembleSharedSupport(const platform::Platform& platform,
                                          const storage::PreparationWorkspace& workspace,
                                          const ExtractedInstaller& installer) {
  const std::string wsPath = workspace.path();
  if (storage::workspaceIdentifier(wsPath) != workspace.id()) {
    refuse("SharedSupport assembly requires an exact Tidewarden preparation workspace.");
  }
  UniqueFd ws;
  try {
    ws = workspace.gate().openWorkspace(workspace.id());
  } catch (const InstallerSafetyError&) {
    refuse("The assembly workspace is not private and root-owned: " + wsPath);
  }
  const auto wsFacts = platform::fileFacts(ws.get());
  if (!wsFacts) refuse("Cannot pin the assembly root");
  const dev_t device = wsFacts->device;

  const std::string expandedPath = wsPath + "/" + std::string(kExpandedName);
  const std::string payloadPath = expandedPath + "/" + std::string(kComponentPayloadName);
  const std::string contentsPath = installer.path + "/Contents";
  const std::string folderPath = contentsPath + "/" + std::string(kSharedSupportFolder);
  const std::string inAppPath = folderPath + "/" + std::string(kSharedSupportImageName);
  const std::string separatePath = expandedPath + "/" + std::string(kSharedSupportImageName);
  const std::string snapshotPath = wsPath + "/" + std::string(kSnapshotName);

  const UniqueFd expanded = openPinned(ws.get(), std::string(kExpandedName), expandedPath, device);
  const UniqueFd payload = openPinned(expanded.get(), std::string(kComponentPayloadName), payloadPath, device);
  const UniqueFd bundle = openPinned(payload.get(), installer.name, installer.path, device);
  const UniqueFd contents = openPinned(bundle.get(), "Contents", contentsPath, device);

  UniqueFd folder;
  bool inApp = false;
  if (present(contents.get(), std::string(kSharedSupportFolder), folderPath)) {
    folder = openPinned(contents.get(), std::string(kSharedSupportFolder), folderPath, device);
    inApp = present(folder.get(), std::string(kSharedSupportImageName), inAppPath);
  }
  const bool separate = present(expanded.get(), std::string(kSharedSupportImageName), separatePath);
  if (inApp && separate) {
    refuse("Both an in-app and a separate SharedSupport.dmg exist for this component. Assembly refused to choose or "
           "overwrite either image.");
  }

  SharedSupportSource source = SharedSupportSource::inApp;
  int sourceDirectory = folder.get();
  std::string sourceName(kSharedSupportImageName);
  std::string sourcePath = inAppPath;
  if (separate) {
    source = SharedSupportSource::besidePayload;
    sourceDirectory = expanded.get();
    sourcePath = separatePath;
  } else if (!inApp) {
    requireHybridSnapshot(ws.get(), snapshotPath);
    source = SharedSupportSource::packageSnapshot;
    sourceDirectory = ws.get();
    sourceName = std::string(kSnapshotName);
    sourcePath = snapshotPath;
  }

  const UniqueFd file = platform::openAt(sourceDirectory, sourceName, O_RDONLY | O_NONBLOCK);
  if (!file) refuseWithErrno("Cannot safely open SharedSupport source " + sourceName, errno);
  const auto facts = platform::fileFacts(file.get());
  if (!facts || !facts->regular || facts->owner != 0 || facts->size <= 0 || facts->links != 1 ||
      facts->device != device) {
    refuse("SharedSupport source must be one root-owned, nonempty, non-linked regular file on the preparation "
           "filesystem: " + sourcePath);
  }
  const storage::InstallerFileIdentity identity = storage::fileIdentity(*facts);

  const platform::ToolCommand describe = platform::tools::hdiutilImageInfo(sourcePath);
  const storage::ScopedCommandResult described = storage::runScopedCommand(platform, describe);
  if (!described.complete || described.status != 0 || !isDiskImageDescription(described.standardOutput)) {
    refuse("hdiutil did not return a valid disk-image description for the selected SharedSupport source: " +
           sourcePath);
  }
  const auto recheck = platform::fileFactsAt(sourceDirectory, sourceName);
  if (!recheck || storage::fileIdentity(*recheck) != identity) {
    refuse("SharedSupport source changed during inspection: " + sourcePath);
  }
  if (source == SharedSupportSource::inApp) return source;

  if (!folder) {
    if (::mkdirat(contents.get(), std::string(kSharedSupportFolder).c_str(), 0755) != 0 && errno != EEXIST) {
      refuseWithErrno("Cannot create this installer's SharedSupport directory", errno);
    }
    folder = openPinned(contents.get(), std::string(kSharedSupportFolder), folderPath, device);
  }
  if (::fchmod(folder.get(), 0755) != 0) refuseWithErrno("Cannot set SharedSupport directory permissions", errno);

  const auto from = platform::SafeName::make(sourceName);
  const auto to = platform::SafeName::make(kSharedSupportImageName);
  if (!platform::moveWithoutReplacing(sourceDirectory, *from, folder.get(), *to)) {
    if (errno == EEXIST) refuse("SharedSupport.dmg appeared during assembly; it was not overwritten.");
    refuseWithErrno("Cannot move the verified SharedSupport image into its installer; no copy fallback was attempted",
                    errno);
  }
  const UniqueFd moved = platform::openAt(folder.get(), std::string(kSharedSupportImageName), O_RDONLY | O_NONBLOCK);
  const auto movedFacts = moved ? platform::fileFacts(moved.get()) : std::nullopt;
  if (!movedFacts || !sameMovedFile(storage::fileIdentity(*movedFacts), identity)) {
    refuse("SharedSupport assembly could not verify the moved file identity. The preparation transaction will clean "
           "up its own workspace.");
  }
  if (::fchmod(moved.get(), 0644) != 0) {
    refuseWithErrno("Cannot make the assembled payload readable by the installer", errno);
  }
  return source;
}

}  // namespace tidewarden::materialize
