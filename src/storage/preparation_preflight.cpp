// Whether enough working space exists before the client downloads or prepares an installer.
#include "storage/preparation_preflight.h"

#include <algorithm>
#include <exception>

#include "platform/byte_count_text.h"
#include "storage/data_volume_free_space.h"
#include "storage/preparation_storage_gate.h"

namespace tidewarden::storage {

std::int64_t preparationBudgetBytes(std::int64_t packageBytes, bool packageAlreadyDownloaded) {
  return (packageAlreadyDownloaded ? 3 : 4) * packageBytes + kPreflightHeadroomBytes;
}

InstallerPreparationPreflightResponse preflightInstallerPreparation(
    const platform::Platform& platform, const InstallerPreparationPreflightRequest& request) {
  InstallerPreparationPreflightResponse response;
  response.allowed = false;
  if (request.packageBytes < kPreflightMinimumPackageBytes || request.packageBytes > kPreflightMaximumPackageBytes) {
    response.message = "The expected full-installer size is missing or outside the supported range.";
    return response;
  }
  const std::int64_t budget = preparationBudgetBytes(request.packageBytes, request.packageAlreadyDownloaded);
  response.estimatedAdditionalBytes = budget;
  try {
    const PreparationStorageGate gate = PreparationStorageGate::open(platform);
    gate.requireNoEarlierWorkspace();
  } catch (const std::exception& error) {
    response.message = error.what();
    return response;
  }
  const auto available = dataVolumeFreeBytes(platform);
  if (!available) {
    response.message = "Could not measure available preparation space. No download or extraction was started.";
    return response;
  }
  response.availableBytes = *available;
  const std::string budgetText = platform::fileByteCountText(budget);
  const std::string availableText = platform::fileByteCountText(std::max<std::int64_t>(*available, 0));
  if (*available >= budget) {
    response.allowed = true;
    response.message = "Working-space budget: " + budgetText + " additional, " + availableText +
                       " available. This is a conservative estimate, not a second network download.";
  } else {
    response.message = "Not enough working space. This operation budgets " + budgetText +
                       " of additional space for the package snapshot, extraction and safety headroom; " +
                       availableText + " is available. No new workspace was created.";
  }
  return response;
}

}  // namespace tidewarden::storage
