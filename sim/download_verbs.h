// `tidewarden-sim world download …`: installer downloads, their lock holders and writers on the simulated Mac.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

inline constexpr std::string_view kDownloadVerbSynopsis =
    "download add --folder F [--name N] --size B [--owner NAME] [--age S]\n"
    "  download apple [--cache A/B] [--subfolder P] [--name N] --size B [--owner NAME] [--age S]\n"
    "  download lock F | download unlock F\n"
    "  download grow PATH [--seconds S]";
inline constexpr std::string_view kDownloadVerbSummary =
    "make an own download /Users/Shared/Tidewarden/Downloads/F/N or an Apple cache file under\n"
    "      /private/var/folders/A/B/C/com.apple.SoftwareUpdate[/P] (N defaults to InstallAssistant.pkg.partial),\n"
    "      B bytes, owned by an account of the world, modified S seconds ago by the Mac's clock; hold or\n"
    "      release F's download lock with a downloader process; append to PATH for S seconds (default 30)";

// Runs one `download` sub-verb on the simulator directory `directory`. Throws
// WorldVerbUsageError for a malformed command line and WorldError (or another
// std::exception) when the change cannot be made; nothing is changed then.
void runDownloadVerb(const std::string& directory, std::span<const std::string> arguments);

}  // namespace tidewarden::sim
