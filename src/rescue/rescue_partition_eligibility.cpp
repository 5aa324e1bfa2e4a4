// The row rules of one partition: map scheme, content type, personality, size, identity, write status, encryption.
#include "rescue/rescue_partition_eligibility.h"

#include <algorithm>
#include <array>

namespace tidewarden::rescue {
namespace {

template <std::size_t N>
bool isOneOf(std::string_view value, const std::array<std::string_view, N>& set) {
  return std::find(set.begin(), set.end(), value) != set.end();
}

constexpr std::array<std::string_view, 4> kHfsPersonalities{"hfs", "hfs+", "hfsx", "jhfs+"};
constexpr std::array<std::string_view, 10> kStandalonePersonalities{"hfs",   "hfs+", "hfsx",  "jhfs+", "exfat",
                                                                    "msdos", "fat",  "fat16", "fat32", "ntfs"};
// The HFS type, Microsoft Basic Data and the two DOS FAT types as diskutil spells them.
constexpr std::array<std::string_view, 4> kStandaloneContent{kHfsPartitionType, "Microsoft Basic Data", "DOS_FAT_32",
                                                             "DOS_FAT_16"};
constexpr std::array<std::string_view, 3> kDependencyContent{"Apple_CoreStorage", "Apple_RAID", "Apple_RAID_Offline"};
// EFI, the boot helper, and APFS's recovery and system-support partitions.
constexpr std::array<std::string_view, 4> kReservedContent{"EFI", "Apple_Boot", "Apple_APFS_Recovery", "Apple_APFS_ISC"};

}  // namespace

bool isHfsPersonality(std::string_view personality) { return isOneOf(personality, kHfsPersonalities); }

bool isDependencyContent(std::string_view content) { return isOneOf(content, kDependencyContent); }

std::optional<std::string> partitionUnavailableReason(const PartitionFacts& facts) {
  if (facts.partitionMap != kGuidPartitionScheme) {
    return "Partition-preserving installer creation currently requires a GUID partition map. This layout is "
           "recognized, but will not be silently repartitioned.";
  }
  if (facts.content == kApfsPartitionType) {
    return "APFS container: its volumes share storage. Converting this partition would erase every volume in the "
           "container. Partition-preserving conversion is not enabled.";
  }
  if (isOneOf(facts.content, kReservedContent)) {
    return "Reserved EFI, recovery or system-support partition; not a user installer destination.";
  }
  if (!isOneOf(facts.content, kStandaloneContent) || !isOneOf(facts.personality, kStandalonePersonalities)) {
    return "Unsupported or unrecognized standalone filesystem (" + facts.personality +
           "). No broader erase will be attempted.";
  }
  if (facts.size < kMinimumDestinationBytes) {
    return "Less than 16 GB capacity. The selected installer may require more than this minimum.";
  }
  if (facts.volumeUUID.empty()) return "Filesystem identity is missing; refresh after the volume can be inspected.";
  if (facts.writable != true || !facts.parentConfirmed) {
    return "The partition's physical write status, external parent or partition-map membership could not be "
           "verified.";
  }
  if (facts.encrypted || facts.locked || facts.fileVault) {
    return "Encrypted or locked volume; scoped conversion is not supported in this version.";
  }
  return std::nullopt;
}

}  // namespace tidewarden::rescue
