// Which names and paths may be reviewed as a local installer application.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::installers {

inline constexpr std::string_view kApplicationsRoot = "/Applications";

inline constexpr const char* kImmediateInstallerOnlyMessage =
    "Permanent installer deletion is limited to an immediate Install macOS \u2026.app in /Applications. External "
    "drives, aliases, nested locations and other applications are not eligible.";

// "Install macOS " (with its space) … ".app", at most 255 UTF-8 bytes, valid UTF-8,
// without "/", "\" or a control character (C0, DEL or C1).
bool isInstallerApplicationName(std::string_view name);

// The bundle name when `path` is exactly "/Applications/" + a name that passes
// isInstallerApplicationName, split with the path grammar (so "/System/Volumes/Data/…",
// nested folders, "." and ".." never qualify); nothing otherwise.
std::optional<std::string> immediateInstallerName(std::string_view path);

}  // namespace tidewarden::installers
