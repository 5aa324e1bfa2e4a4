// The `tidewarden-sim world preparation ...` verbs: leftover preparation workspaces laid out in the simulated root.
#pragma once

#include <span>
#include <string>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

// preparation add-workspace [--id UUID] [--files N] [--fifo] [--manifest-purpose P]
// Lays out a workspace as a helper that stopped mid-preparation leaves it: a root-owned
// private folder named by an upper-case UUID in the preparation root, its manifest
// "operation.json" (purpose P, default installer), and under "Expanded" an extracted
// "Install macOS Sequoia.app" with N files of 4096 bytes in Contents/Resources (default
// 3) and a symbolic link Contents/Frameworks -> Resources; --fifo adds the named pipe
// Expanded/progress.fifo. Prints the workspace's path as the helper sees it. Throws
// WorldVerbUsageError, or WorldError when the files cannot be made.
void preparationVerb(const std::string& directory, std::span<const std::string> arguments);

}  // namespace tidewarden::sim
