// `tidewarden-ctl rescue`: the destination rows, built here as the application builds them, and a creation started, followed and cancelled.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/ctl_command.h"
#include "rescue/rescue_messages.h"

namespace tidewarden::ctl {

inline constexpr std::string_view kRescueSynopsis =
    "rescue destinations [--mac DIR] [--json] | start --installer PATH --destination ID --scope partition|wholeDisk\n"
    "      [--mac DIR] | watch ID | status ID [--json] | cancel ID";
inline constexpr std::string_view kRescueSummary =
    "list the external disks, partitions and shared APFS volumes a Rescue Drive could be written to,\n"
    "      each offered or refused with its reason, judged here by the helper's own inventory rules from\n"
    "      diskutil (--mac: a simulated Mac's diskutil); --json prints the rows as a start request carries them.\n"
    "      start builds the row the same way, asks for the scope to be typed again, starts the creation and\n"
    "      follows it as watch does: a live bar per step on a terminal, plain lines otherwise; Ctrl-C asks\n"
    "      whether to cancel. Exit 4 when the creation failed or was cancelled";

struct RescueOutcome {
  int status = 0;
  std::string output;
};

// The destination rows as the application builds them, from the Mac whose "/" is DIR/root
// (--mac DIR) or this machine. Throws CommandFailure when the tree cannot be verified.
std::vector<rescue::RescueDestination> destinationRows(const std::optional<std::string>& mac);

// rescue start, watch, status and cancel: through `call`; progress lines go to `write`.
// Returns the exit status (0, or 4 when the creation failed or was cancelled).
int runRescueCreationCommand(std::span<const std::string> arguments, const HelperCall& call,
                             const std::function<void(const std::string&)>& write);

// Runs the read-only diskutil queries itself (no helper is asked). Throws CommandFailure
// for a usage error, and with kExitFailure when the disk tree as a whole cannot be verified.
RescueOutcome runRescueCommand(std::span<const std::string> arguments);

}  // namespace tidewarden::ctl
