// Whether one partition of an eligible disk may be offered as a destination, and why not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::rescue {

inline constexpr std::int64_t kMinimumDestinationBytes = 16000000000;
inline constexpr std::string_view kGuidPartitionScheme = "GUID_partition_scheme";
inline constexpr std::string_view kHfsPartitionType = "Apple_HFS";
inline constexpr std::string_view kApfsPartitionType = "Apple_APFS";

// What the inventory read of one partition that the row rules judge.
struct PartitionFacts {
  std::string partitionMap;  // of the parent
  std::string content;
  std::string personality;  // file system type as diskutil names it, lower-cased; empty: none
  std::int64_t size = 0;
  std::string volumeUUID;
  std::optional<bool> writable;
  bool parentConfirmed = false;  // its ParentWholeDisk names the disk that lists it
  bool encrypted = false;
  bool locked = false;
  bool fileVault = false;
};

bool isHfsPersonality(std::string_view personality);
bool isDependencyContent(std::string_view content);

// The reason a partition row may not be chosen (the first rule that applies), or
// nothing when it may.
std::optional<std::string> partitionUnavailableReason(const PartitionFacts& facts);

}  // namespace tidewarden::rescue
