// The installer a Rescue Drive is made from: where it must be, Apple's signature, and the space it needs.
#pragma once

#include <cstdint>
#include <string>

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

// Refuses (RescueDriveError::invalidInstaller) anything but a full "Install macOS ….app"
// directly named under /Applications, a bundle that is not a real directory, a missing
// or non-executable Contents/Resources/createinstallmedia, and a bundle that does not
// pass "anchor apple" validation. Returns the standardized path.
std::string checkSourceInstaller(const platform::Platform& platform, const std::string& installerPath);

// max(the bundle's regular-file bytes, each file once, 14926258176) + 1073741824: never
// less than 16000000000. Counts at most 500000 items within 30 s of the platform clock;
// refuses (invalidInstaller) what cannot be measured.
std::int64_t installerCapacityRequirement(const platform::Platform& platform, const std::string& installerPath);

}  // namespace tidewarden::rescue
