// Turning a completed InstallAssistant.pkg into a verified installer in /Applications, phase by phase.
#pragma once

#include <array>
#include <string_view>

#include "materialize/materialize_messages.h"
#include "platform/platform.h"

namespace tidewarden::materialize {

// The phases, in order; each is written to the workspace manifest as it begins and
// names the step in a failure message.
inline constexpr std::array<std::string_view, 9> kMaterializePhases{
    "validating request",
    "making private package snapshot",
    "checking Apple package signature",
    "extracting installer",
    "locating extracted installer",
    "assembling SharedSupport payload",
    "validating Apple installer and createinstallmedia",
    "reading macOS payload identity",
    "placing verified installer in Applications",
};

inline constexpr std::string_view kWorkspacePurpose = "installer";
inline constexpr std::string_view kApplicationsFolder = "/Applications";
// Working space a preparation needs beyond the saved package: three copies' worth
// plus 8 GiB of headroom.
inline constexpr std::int64_t kMaterializeHeadroomBytes = 8589934592;
inline constexpr const char* kMaterializeSuccessMessage = "The verified macOS installer is ready in /Applications.";

// The whole request: validation without side effects (patterns, the path's shape, the
// saved file, the preparation gate, the working-space budget), then a workspace and
// phases 1-8. The saved package is only ever read; every later step uses the private
// snapshot. Whatever happens after the workspace exists, the workspace is removed
// again while the preparation gate is still held (unless an image may still be
// attached inside it), and the reply carries the cleanup report. Nothing is copied as a
// fallback and nothing in /Applications is replaced. Never throws: every refusal is
// the reply's message.
MaterializeInstallAssistantResponse materializeInstallAssistantPackage(const platform::Platform& platform,
                                                                       const MaterializeInstallAssistantRequest& request);

}  // namespace tidewarden::materialize
