// The private, root-owned copy of the saved package that every later step works on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"
#include "storage/installer_file_identity.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::materialize {

inline constexpr std::string_view kSnapshotName = "InstallAssistant.pkg";
// Bytes moved per step, and how many may be copied between two free-space checks.
inline constexpr std::size_t kSnapshotStepBytes = 1048576;
inline constexpr std::int64_t kSnapshotFreeSpaceCheckBytes = 67108864;
// Free space must stay above this while copying.
inline constexpr std::int64_t kSnapshotReserveBytes = 2147483648;

inline constexpr const char* kSnapshotReserveMessage =
    "Available space fell below the preparation reserve. Copying was stopped; the original package was kept.";
inline constexpr const char* kSnapshotGrewMessage = "The saved package grew while it was being copied.";
inline constexpr const char* kSnapshotChangedMessage =
    "The saved package changed while it was being copied; its private snapshot was not accepted.";

// Copies the open saved package `sourceFd` (read from offset 0, never written) into
// "<workspace>/InstallAssistant.pkg", created exclusively, mode 0600, in steps of at
// most 1 MiB. Free space of the data volume is measured again whenever more than
// 64 MiB were copied since the last look and must stay above 2 GiB. At the end the
// source must still have `sourceIdentity` and exactly its logical size must have been
// copied; then the copy is synced. A source that grows, shrinks or is touched while
// copied is refused, because the client can write the folder it lies in: the
// snapshot must be exactly the bytes that were identified. Within a step the bytes move
// in the kernel (copy_file_range) where the file systems allow it, else through one
// buffer. Throws InstallerSafetyError; the caller's workspace cleanup removes a partial copy.
void makePrivatePackageSnapshot(const platform::Platform& platform, int sourceFd,
                                const storage::InstallerFileIdentity& sourceIdentity,
                                const storage::PreparationWorkspace& workspace);

// Removes the snapshot once the payload identity is known: nothing may hold it open
// (lsof), and it must still be the root-owned single-link file it was (`identity`
// taken right after the copy). Throws InstallerSafetyError.
void removePrivatePackageSnapshot(const platform::Platform& platform, const storage::PreparationWorkspace& workspace,
                                  const storage::InstallerFileIdentity& identity);

// The identity of the snapshot now (fstatat through the workspace, no link followed).
storage::InstallerFileIdentity privatePackageSnapshotIdentity(const storage::PreparationWorkspace& workspace);

}  // namespace tidewarden::materialize
