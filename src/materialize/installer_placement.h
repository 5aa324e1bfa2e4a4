// The last step: the verified application moves into /Applications atomically, never over anything.
#pragma once

#include <string>

#include "materialize/extracted_installer.h"
#include "platform/platform.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::materialize {

// Renames the application from the extraction to "/Applications/<same name>" with a
// no-replace rename between pinned directories (no link followed on either side) and
// checks that the moved directory is the same object. An existing item of that name,
// even one that appears during the call, is left as it is. Returns the final path.
// Throws InstallerSafetyError.
std::string placeVerifiedInstaller(const platform::Platform& platform, const storage::PreparationWorkspace& workspace,
                                   const ExtractedInstaller& installer);

}  // namespace tidewarden::materialize
