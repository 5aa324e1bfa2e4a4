// Whether enough working space exists before the client downloads or prepares an installer.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "storage/storage_messages.h"

namespace tidewarden::storage {

// The accepted range of the expected full-installer size, and the headroom the
// budget adds to the package copies.
inline constexpr std::int64_t kPreflightMinimumPackageBytes = 5000000000;
inline constexpr std::int64_t kPreflightMaximumPackageBytes = 80000000000;
inline constexpr std::int64_t kPreflightHeadroomBytes = 8589934592;

// Three package sizes (snapshot, extraction, SharedSupport) plus headroom when the
// package is already downloaded, four (the download too) otherwise. `packageBytes`
// must be in the accepted range.
std::int64_t preparationBudgetBytes(std::int64_t packageBytes, bool packageAlreadyDownloaded);

// Judges the request against the free space of the data volume, under the
// preparation gate (so it cannot overlap a preparation or cleanup) and only when no
// earlier workspace is left; the gate is released before returning. Creates nothing
// but the private base, root and lock file the gate keeps. Never throws: every
// refusal is `allowed` false with its message.
InstallerPreparationPreflightResponse preflightInstallerPreparation(const platform::Platform& platform,
                                                                    const InstallerPreparationPreflightRequest& request);

}  // namespace tidewarden::storage
