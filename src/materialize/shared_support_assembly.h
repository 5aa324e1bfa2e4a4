// Putting exactly one verified SharedSupport.dmg into the extracted installer, by rename only.
#pragma once

#include "materialize/extracted_installer.h"
#include "platform/platform.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::materialize {

// Where the image came from.
enum class SharedSupportSource {
  inApp,            // already inside the application; verified and left in place
  besidePayload,    // the component's own SharedSupport.dmg, moved into the application
  packageSnapshot,  // the private package snapshot itself (a XAR/UDIF hybrid), moved in
};

// Chooses the one image (the in-app image, the separate image beside the component's
// Payload, or else the private snapshot when it is a XAR/UDIF hybrid), refusing when
// both images exist or none qualifies. The source must be one root-owned, non-empty,
// single-link regular file on the workspace's file system, and hdiutil imageinfo must
// describe it. A moved source goes to Contents/SharedSupport/SharedSupport.dmg with a
// no-replace rename (never a copy), its identity is checked before and after, and it
// is made 0644. Every directory is opened relative to the pinned workspace without
// following a link. Nothing outside the workspace changes; a refused choice moves
// nothing. Throws InstallerSafetyError.
SharedSupportSource assembleSharedSupport(const platform::Platform& platform,
                                          const storage::PreparationWorkspace& workspace,
                                          const ExtractedInstaller& installer);

}  // namespace tidewarden::materialize
