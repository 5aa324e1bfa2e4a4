// Reading the macOS identity from the installer's payload image, attached privately and read-only.
#pragma once

#include <optional>
#include <string_view>

#include "materialize/extracted_installer.h"
#include "materialize/materialize_messages.h"
#include "platform/platform.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::materialize {

inline constexpr std::string_view kPayloadMountPointName = "PayloadMetadata";
inline constexpr std::string_view kPayloadMetadataFirstChoice =
    "com_apple_MobileAsset_MacSoftwareUpdate/com_apple_MobileAsset_MacSoftwareUpdate.xml";
inline constexpr std::string_view kPayloadMetadataSecondChoice =
    "SFR/com_apple_MobileAsset_SFRSoftwareUpdate/com_apple_MobileAsset_SFRSoftwareUpdate.xml";

inline constexpr const char* kAttachmentChangedMessage =
    "The image attachment changed during final checks; no detach was attempted.";

// Makes "<workspace>/PayloadMetadata" (0700, empty, root-owned, on the workspace's
// file system), attaches Contents/SharedSupport/SharedSupport.dmg there read-only and
// requires exactly that one mount point in hdiutil's answer; reads the first asset
// metadata file that exists beneath it (bounded to 4 MiB, no link followed, never
// leaving the image's file system) and parses it. The image is always detached again,
// after a failure too, but only when hdiutil info still shows the same image with the
// same devices at the same mount point: otherwise nothing is detached, since the
// device may by then belong to another disk. After the detach the mount point must be
// an empty directory again. Throws InstallerSafetyError. The caller decides from
// hdiutil info whether it can remove the workspace, and so whether it remains.
struct PayloadReading {
  // Set as soon as the metadata was read, also when the image's cleanup then failed.
  std::optional<InstallerPayloadIdentity> identity;
  // The image's cleanup failed in a way that may leave it attached in the workspace.
  bool imageMayRemain = false;
};
InstallerPayloadIdentity readPayloadIdentity(const platform::Platform& platform,
                                             const storage::PreparationWorkspace& workspace,
                                             const ExtractedInstaller& installer, PayloadReading& reading);

// Said of a workspace that an image may still hold, once its cleanup kept it.
inline constexpr const char* kWorkspaceRemainsForRecovery = " Its workspace will remain visible for recovery.";

}  // namespace tidewarden::materialize
