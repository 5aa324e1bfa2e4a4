// Whether the assembled application is Apple's installer, signed by Apple, with Apple's createinstallmedia.
#pragma once

#include <string>
#include <string_view>

#include "materialize/extracted_installer.h"
#include "platform/platform.h"

namespace tidewarden::materialize {

inline constexpr std::string_view kInstallerIdentifier = "com.apple.InstallAssistant";
inline constexpr std::string_view kAppleAnchorRequirement = "anchor apple";

// "com.apple.InstallAssistant" itself or any identifier below it ("com.apple.InstallAssistant.Seed");
// not one that merely starts with the same letters ("com.apple.InstallAssistantX").
bool isInstallerIdentifier(std::string_view identifier);

// The bundle identifier in Contents/Info.plist (read bounded, beneath the preparation
// root) must pass isInstallerIdentifier; Contents/Resources/createinstallmedia must be
// an executable regular file; the bundle and createinstallmedia must each pass the
// code-signing check against "anchor apple". Throws InstallerSafetyError.
void validateAppleInstaller(const platform::Platform& platform, const ExtractedInstaller& installer);

}  // namespace tidewarden::materialize
