// Whether a bundle is Apple's macOS installer: its Info.plist identity and its media-creation tool.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tidewarden::installers {

inline constexpr std::string_view kInstallAssistantIdentifier = "com.apple.InstallAssistant";
inline constexpr const char* kNotAnAppleInstallerMessage = "This is not an identified Apple macOS installer application.";
inline constexpr const char* kUnsupportedIdentifierMessage =
    "The installer identifier is not a supported Apple InstallAssistant identity.";

// The bundle identifier of an installer's Info.plist bytes (any property-list format):
// a dictionary whose CFBundleIdentifier is "com.apple.InstallAssistant" or lies below it,
// with CFBundlePackageType "APPL"; below it at least one more character, and the whole
// at most 255 bytes of ASCII letters, digits, "-" and ".". Throws InstallerSafetyError.
std::string readInstallerIdentifier(std::string_view infoPlist);

// Reads bundlePath/Contents/Info.plist with the bounded metadata read (the bundle as the
// approved root: no link, no growth, no change while read, at most 2 MiB), applies
// readInstallerIdentifier, and requires Contents/Resources/createinstallmedia to be an
// executable regular file reached without a link. Returns the identifier; throws
// InstallerSafetyError. Reads only.
std::string installerIdentity(const platform::Platform& platform, const std::string& bundlePath);

}  // namespace tidewarden::installers
