// Whether a local installer is idle enough to be deleted, and the free space around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace tidewarden::installers {

// No image attached from or mounted inside the bundle, no process but the helper with
// a file open in it, no macOS installation program, and no createinstallmedia, pkgutil
// or hdiutil running. Any check that cannot be completed refuses like a positive one.
// Throws InstallerSafetyError. The default requireIdle probe.
void requireInstallerIdle(const platform::Platform& platform, const std::string& bundlePath);

// Available bytes of the volume holding `path`; nothing when it cannot be measured.
std::optional<std::int64_t> installerVolumeFreeSpace(const platform::Platform& platform, const std::string& path);

}  // namespace tidewarden::installers
