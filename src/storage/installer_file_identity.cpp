// Building a file identity from a status record.
#include "storage/installer_file_identity.h"

#include <limits>

namespace tidewarden::storage {

namespace {
constexpr std::int64_t kBlockBytes = 512;
}  // namespace

InstallerFileIdentity fileIdentity(const platform::FileFacts& facts) {
  const auto blocks = static_cast<std::int64_t>(facts.blocks);
  std::int64_t allocated = 0;
  if (blocks > std::numeric_limits<std::int64_t>::max() / kBlockBytes) {
    allocated = std::numeric_limits<std::int64_t>::max();
  } else if (blocks > 0) {
    allocated = blocks * kBlockBytes;
  }
  return InstallerFileIdentity{
      .device = static_cast<std::uint64_t>(facts.device),
      .inode = static_cast<std::uint64_t>(facts.inode),
      .logicalBytes = static_cast<std::int64_t>(facts.size),
      .allocatedBytes = allocated,
      .modifiedSeconds = facts.modifiedSeconds,
      .modifiedNanoseconds = facts.modifiedNanoseconds,
      .changedSeconds = facts.changedSeconds,
      .changedNanoseconds = facts.changedNanoseconds,
      .links = static_cast<std::uint64_t>(facts.links),
      .owner = static_cast<std::uint32_t>(facts.owner),
  };
}

}  // namespace tidewarden::storage
