// The installer a Rescue Drive is made from: where it must be, Apple's signature, and the space it needs.
#pragma once

#include <cstdint>
#include <string>

#include "platform/process_launcher.h"

namespace tidewarden::platform {
struct Platform;
}

namespace tidewarden::rescue {

inline constexpr std::int64_t kMaxCapacityItems = 500000;
inline constexpr double kCapacityInspectionSeconds = 30;
inline constexpr std::int64_t kMinimumInstallerBytes = 14926258176;
inline constexpr std::int64_t kFilesystemHeadroomBytes = 1073741824;

// "/Applications/./Install macOS X.app/" as "/Applications/Install macOS X.app": empty and
// "." components dropped, ".." taking back the one before.
std::string standardizedPath(const std::string& path);

inline constexpr const char* kInstallerOwnershipMessage =
    "The installer is redirected, mounted separately, or does not have protected administrator "
    "ownership/permissions. Its permissions were not changed.";
inline constexpr const char* kMediaToolChangedMessage =
    "Apple\u2019s createinstallmedia changed after it was checked. It was not started.";

// The checked installer: its standardized path and the identity its createinstallmedia had.
struct SourceInstaller {
  std::string path;
  platform::ExecutableIdentity tool;
};

// Refuses (RescueDriveError::invalidInstaller) anything but a full "Install macOS ….app"
// directly named under /Applications, a bundle that is not a real directory, a missing
// or non-executable Contents/Resources/createinstallmedia, a bundle, Contents, Resources
// or tool not owned by root or writable by group or others (kInstallerOwnershipMessage),
// and a bundle that does not pass "anchor apple" validation.
SourceInstaller checkSourceInstaller(const platform::Platform& platform, const std::string& installerPath);

// Immediately before the tool is started: the ownership rules again, the tool's own
// signature against "anchor apple", and its identity before and after that check equal to
// the one checked at the start (else kMediaToolChangedMessage). Returns the identity the
// launch must find.
platform::ExecutableIdentity verifyMediaToolForLaunch(const platform::Platform& platform, const SourceInstaller& source);

// max(the bundle's regular-file bytes, each file once, 14926258176) + 1073741824: never
// less than 16000000000. Counts at most 500000 items within 30 s of the platform clock;
// refuses (invalidInstaller) what cannot be measured.
std::int64_t installerCapacityRequirement(const platform::Platform& platform, const std::string& installerPath);

}  // namespace tidewarden::rescue
