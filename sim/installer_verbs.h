// `tidewarden-sim world installer …`: saved installer packages and the knobs of the simulated installer tools.
#pragma once

#include <string>
#include <string_view>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

inline constexpr std::string_view kInstallerVerbSynopsis =
    "installer package --folder F --version V --build B [--layout in-app|beside-payload|hybrid|both|none]\n"
    "            [--signer apple|developer|adhoc] [--identifier ID] [--apps N] [--assets V/B[,V/B...]] [--size BYTES]\n"
    "  installer detach-before-check | installer detach-fails on|off\n"
    "  installer append-on-free-space-check PATH --bytes B [--after N]";
inline constexpr std::string_view kInstallerVerbSummary =
    "save /Users/Shared/Tidewarden/Downloads/F/InstallAssistant.pkg (printing its path): a package of the\n"
    "      simulator's own format holding N installer applications signed as asked, a payload image with\n"
    "      the asset pairs (default V/B) in the app, beside the component's Payload, as the package itself\n"
    "      (hybrid), in the app and beside the Payload (both) or nowhere, padded to BYTES; make the next\n"
    "      hdiutil info find the attached payload images detached by someone else; make hdiutil detach\n"
    "      fail; append B bytes to PATH just before the Nth free-space measurement from now (default 1)";

// Runs one `installer` sub-verb on the simulator directory `directory`. Throws
// WorldVerbUsageError for a malformed command line and WorldError (or another
// std::exception) when the change cannot be made.
void runInstallerVerb(const std::string& directory, WorldVerbArguments arguments);

}  // namespace tidewarden::sim
