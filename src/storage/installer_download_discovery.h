// Finding interrupted installer downloads under the fixed roots, within hard limits.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace tidewarden::storage {

inline constexpr std::size_t kDiscoveryEntryLimit = 50000;  // entries read: fewer than this
inline constexpr std::size_t kDiscoveryCandidateLimit = 128;
inline constexpr int kAppleCacheNestingLimit = 17;  // subdirectory levels below a cache folder
inline constexpr double kDiscoverySeconds = 25;

inline constexpr const char* kDiscoveryLimitWarning =
    "Installer-download discovery reached a safety limit; these results are partial.";

// What one discovery found and what it could not look at.
struct InstallerDownloadDiscovery {
  std::vector<std::string> warnings;  // each at most once
  bool complete = true;               // false once a limit was reached
  std::size_t visited = 0;            // directory entries read
  std::vector<std::string> files;     // canonical candidate paths, without repeats
  double deadline = 0;                // platform uptime at which reading stops
};

// Looks for InstallAssistant.pkg and InstallAssistant.pkg.partial in every safely
// named folder of /Users/Shared/Tidewarden/Downloads, and for
// InstallAssistant.pkg.partial anywhere up to 17 levels below each
// /private/var/folders/<a>/<b>/C/com.apple.SoftwareUpdate. No symbolic link is
// followed; unsafe names are skipped. Stops at `deadline` (platform uptime), before
// the 50000th entry or at a 129th candidate, then with the safety-limit warning.
// Reads only; never throws.
InstallerDownloadDiscovery discoverInstallerDownloads(const platform::Platform& platform, double deadline);

}  // namespace tidewarden::storage
