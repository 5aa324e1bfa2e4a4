// `tidewarden-sim world installer …`: saved installer packages and the knobs of the simulated installer tools.
#pragma once

#include <filesystem>
#include <string>
#include <vector>
#include <string_view>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

inline constexpr std::string_view kInstallerVerbSynopsis =
    "installer package --folder F --version V --build B [--layout in-app|beside-payload|hybrid|both|none]\n"
    "            [--signer apple|developer|adhoc] [--app-signer apple|developer|adhoc] [--identifier ID] [--apps N]\n"
    "            [--assets V/B[,V/B...]] [--size BYTES]\n"
    "  installer app [--name NAME] [--version V --build B] [--identifier ID] [--signer apple|developer|adhoc|unsigned]\n"
    "            [--resource-policy-only] [--media-tool ok|missing|link|not-executable] [--owner UID] [--group-writable]\n"
    "            [--link-outside] [--size BYTES]\n"
    "  installer detach-before-check | installer detach-fails on|off\n"
    "  installer append-on-free-space-check PATH --bytes B [--after N]";
inline constexpr std::string_view kInstallerVerbSummary =
    "save /Users/Shared/Tidewarden/Downloads/F/InstallAssistant.pkg (printing its path): a package of the\n"
    "      simulator's own format holding N installer applications signed as asked (apple: Apple's own\n"
    "      software, APPLESIM01; developer: a registered developer, DEVSIM0001), a payload image with\n"
    "      the asset pairs (default V/B) in the app, beside the component's Payload, as the package itself\n"
    "      (hybrid), in the app and beside the Payload (both) or nowhere, padded to BYTES; make the next\n"
    "      hdiutil info find the attached payload images detached by someone else; make hdiutil detach\n"
    "      fail; append B bytes to PATH just before the Nth free-space measurement from now (default 1)";

// Runs one `installer` sub-verb on the simulator directory `directory`. Throws
// WorldVerbUsageError for a malformed command line and WorldError (or another
// std::exception) when the change cannot be made.
void runInstallerVerb(const std::string& directory, WorldVerbArguments arguments);

// The pieces of a simulated installer application, shared by the package and app verbs.
// Info.plist (identifier, version, APPL), Contents/MacOS/InstallAssistant and
// Contents/Resources/createinstallmedia (the simulated media tool of the Mac in `directory`),
// in the host folder `bundle`.
void layOutInstallerApplication(const std::string& directory, const std::filesystem::path& bundle,
                                const std::string& identifier, const std::string& version);
// Signs createinstallmedia, then the bundle (leaving `omit` out of its seal), as Apple,
// a developer or ad hoc, with the world's apple anchor.
void signInstallerApplication(const std::string& directory, const std::filesystem::path& bundle,
                              const std::string& signer, const std::string& identifier,
                              const std::vector<std::string>& omit);
inline const std::vector<std::string> kUnsealedSharedSupport{"Contents/SharedSupport", "Contents/SharedSupport/*"};
// "Install macOS " + the release name of `version` ("15.1": "Install macOS Sequoia").
std::string installerApplicationName(const std::string& version);
// A simulated payload image whose asset metadata names version/build.
std::string installerPayloadImage(const std::string& version, const std::string& build);
// `installer app …` (sim/installer_app_verb.cpp).
void installerAppVerb(const std::string& directory, WorldVerbArguments arguments);

}  // namespace tidewarden::sim
