// `tidewarden-ctl rescue destinations`: the Rescue Drive destination rows, built here as the application builds them.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "client/ctl_command.h"

namespace tidewarden::ctl {

inline constexpr std::string_view kRescueSynopsis = "rescue destinations [--mac DIR] [--json]";
inline constexpr std::string_view kRescueSummary =
    "list the external disks, partitions and shared APFS volumes a Rescue Drive could be written to,\n"
    "      each offered or refused with its reason, judged here by the helper's own inventory rules from\n"
    "      diskutil (--mac: a simulated Mac's diskutil); --json prints the rows as a start request carries them";

struct RescueOutcome {
  int status = 0;
  std::string output;
};

// Runs the read-only diskutil queries itself (no helper is asked). Throws CommandFailure
// for a usage error, and with kExitFailure when the disk tree as a whole cannot be verified.
RescueOutcome runRescueCommand(std::span<const std::string> arguments);

}  // namespace tidewarden::ctl
