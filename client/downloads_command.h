// `tidewarden-ctl downloads scan|remove`: interrupted installer downloads, shown and removed.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "client/ctl_command.h"

namespace tidewarden::ctl {

inline constexpr std::string_view kDownloadsSynopsis =
    "downloads scan [--json] | remove ID... --no-installation-in-progress [--json]";
inline constexpr std::string_view kDownloadsSummary =
    "interrupted installer downloads: list what the helper found (what, where, size, activity, and why\n"
    "      an item cannot be removed, with the ID to remove it by); remove scanned items by ID after you\n"
    "      confirm that no macOS installation is running (the helper watches them 20 s first); --json\n"
    "      prints the raw reply";

struct DownloadsOutcome {
  // 0 a reply arrived (for remove: every requested item was removed); 4 the helper
  // kept at least one requested item.
  int status = 0;
  std::string output;  // what to print on standard output
};

DownloadsOutcome runDownloadsCommand(std::span<const std::string> arguments, const HelperCall& call);

}  // namespace tidewarden::ctl
