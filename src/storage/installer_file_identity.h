// The identity of a file-system object: what must not change between two looks at it.
#pragma once

#include <cstdint>

#include "platform/file_io.h"

namespace tidewarden::storage {

// Taken when an object is inventoried or opened and compared again right before and
// after acting on it. The change time is part of it, so a change of owner, mode or
// link count also makes a later identity differ. Kept in memory only, never sent.
struct InstallerFileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t logicalBytes = 0;
  std::int64_t allocatedBytes = 0;  // allocated 512-byte blocks × 512; 0 when not positive
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;
  std::uint64_t links = 0;
  std::uint32_t owner = 0;

  // Equal only when all ten fields are.
  friend bool operator==(const InstallerFileIdentity&, const InstallerFileIdentity&) = default;
};

// The identity described by a status record (platform::fileFacts on a descriptor, or
// platform::fileFactsAt, which does not follow a link). An allocation too large for
// 64 bits (no real file has one) is stored as the largest value.
InstallerFileIdentity fileIdentity(const platform::FileFacts& facts);

}  // namespace tidewarden::storage
