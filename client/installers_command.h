// `tidewarden-ctl installers scan|delete|release-images`: the installer applications in /Applications.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "client/ctl_command.h"

namespace tidewarden::ctl {

inline constexpr std::string_view kInstallersSynopsis =
    "installers scan [--only PATH] [--json]\n"
    "      | delete ID --permanent --no-installation-in-progress [--json]\n"
    "      | release-images ID --acknowledge --no-installation-in-progress [--json]";
inline constexpr std::string_view kInstallersSummary =
    "local installers in /Applications: review them (name, size, what may be done and why, the review ID\n"
    "      and when it expires, 300 s after the scan); detach a reviewed installer's attached images\n"
    "      (never forced); delete a reviewed installer permanently (not to the Trash). Both actions need\n"
    "      their acknowledgment flags; exit 4 when the helper refused; --json prints the raw reply";

// Writes what the command prints through `write`; returns 0, or 4 when the helper
// refused a deletion or release. Throws CommandFailure (usage: a missing flag is named).
int runInstallersCommand(const HelperCall& call, std::span<const std::string> arguments,
                         const std::function<void(const std::string&)>& write);

}  // namespace tidewarden::ctl
