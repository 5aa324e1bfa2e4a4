// Fuzz target: the Rescue Drive inventory reading diskutil's property lists. The input is
// diskutil's answers separated by lines "%%": the external list, info of "/", apfs list,
// then info of each device in the order the inventory asks (an answer that is missing
// is a failed run). Whatever the answers, the inventory either refuses the whole tree
// with one of its sentences, or returns rows in which nothing unsafe is offered: an
// offered row is a whole disk or a GUID partition of at least 16 GB on a disk of at
// least 16 GB, every shared APFS volume is refused, and every layout record belongs to
// the row's parent.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/property_list.h"
#include "platform/regex.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"
#include "rescue/rescue_partition_eligibility.h"

namespace {

namespace rescue = tidewarden::rescue;
using tidewarden::fuzz::printable;
using tidewarden::platform::PropertyList;

std::vector<std::string_view> answers(std::string_view bytes) {
  std::vector<std::string_view> parts;
  constexpr std::string_view kSeparator = "\n%%\n";
  std::size_t start = 0;
  for (std::size_t at; (at = bytes.find(kSeparator, start)) != std::string_view::npos; start = at + kSeparator.size()) {
    parts.push_back(bytes.substr(start, at - start));
  }
  parts.push_back(bytes.substr(start));
  return parts;
}

bool startsWith(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

bool isTreeRefusal(const std::string& message) {
  for (const char* known : {rescue::kIncompleteTreeMessage, rescue::kAmbiguousTreeMessage, rescue::kStartupUnverifiedMessage,
                            rescue::kApfsIncompleteMessage, rescue::kStartupApfsUnverifiedMessage,
                            rescue::kExternalStartupUnmappedMessage, rescue::kStartupStoreParentMessage,
                            rescue::kAmbiguousDevicesMessage}) {
    if (message == known) return true;
  }
  return startsWith(message, rescue::kApfsUnverifiedPrefix) ||
         message == "diskutil list -plist external physical failed or returned incomplete metadata (exit 1, timeout false)";
}

std::vector<rescue::RescueDestination> inventory(const std::vector<std::string_view>& parts) {
  std::size_t next = 3;
  const rescue::DiskQuery query = [&](const std::vector<std::string>& arguments) -> PropertyList {
    FUZZ_CHECK(rescue::isAllowedDiskQuery(arguments), "the inventory asked outside the allowlist");
    std::size_t index = next;
    if (arguments[0] == "list") index = 0;
    else if (arguments[0] == "apfs") index = 2;
    else if (arguments[2] == "/") index = 1;
    else ++next;
    std::string failure = "diskutil";
    for (const std::string& argument : arguments) failure += " " + argument;
    failure += " failed or returned incomplete metadata (exit 1, timeout false)";
    if (index >= parts.size()) throw rescue::RescueDestinationError::refused(failure);
    std::optional<PropertyList> list = PropertyList::parse(parts[index], 1 << 20);
    if (!list || list->root().type() != tidewarden::platform::PlistType::dictionary) {
      throw rescue::RescueDestinationError::refused(failure);
    }
    return std::move(*list);
  };
  return rescue::listDestinations(query, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts = answers(tidewarden::fuzz::asBytes(data, size));
  std::vector<rescue::RescueDestination> rows;
  try {
    rows = inventory(parts);
  } catch (const rescue::RescueDestinationError& error) {
    FUZZ_CHECK(isTreeRefusal(error.what()), "an unlisted whole-tree refusal: " + printable(error.what()));
    return 0;
  }
  static const auto partition = *tidewarden::platform::Regex::compile("^disk[0-9]{1,5}s[0-9]{1,5}$");
  for (const rescue::RescueDestination& row : rows) {
    const std::string key = rescue::inventoryKey(row);
    for (const rescue::RescuePartitionIdentity& part : row.layout) {
      FUZZ_CHECK(partition.matches(part.identifier) && startsWith(part.identifier, row.parent.identifier + "s"),
                 "a layout record of another disk in " + printable(key));
    }
    if (row.scope == rescue::RescueDestinationScope::sharedAPFSVolume) {
      FUZZ_CHECK(row.unavailableReason == std::string(rescue::kSharedApfsReason), "a shared volume offered: " + printable(key));
    }
    if (row.unavailableReason) continue;
    FUZZ_CHECK(row.parent.capacity >= rescue::kMinimumDestinationBytes, "a disk under 16 GB offered: " + printable(key));
    if (row.scope == rescue::RescueDestinationScope::partition) {
      FUZZ_CHECK(row.size >= rescue::kMinimumDestinationBytes && row.partitionMap == rescue::kGuidPartitionScheme,
                 "an unsafe partition offered: " + printable(key));
    } else {
      FUZZ_CHECK(row.diskIdentifier == row.parent.identifier, "a whole-disk row of another disk: " + printable(key));
    }
  }
  FUZZ_CHECK(inventory(parts) == rows, "the same answers gave other rows");
  return 0;
}
