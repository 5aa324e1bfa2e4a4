// Pure readers of lsof field records and of hdiutil's attached-image property list.
#include "storage/tool_output_readers.h"

#include <cstdint>
#include <limits>

#include "platform/property_list.h"
#include "platform/utf8.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

using platform::PlistNode;
using platform::PlistType;

// The largest property list hdiutil's answer may be: the runner keeps no more.
constexpr std::size_t kMaxImageListBytes = 2097152;

// A decimal number without sign, leading "+" or spaces, that fits a positive pid_t.
std::optional<pid_t> positiveDecimal(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<pid_t>::max()) return std::nullopt;
  return static_cast<pid_t>(value);
}

bool isDescriptor(std::string_view text) {
  if (text == "cwd" || text == "rtd" || text == "txt" || text == "mem") return true;
  const std::optional<pid_t> number = text == "0" ? std::optional<pid_t>(0) : positiveDecimal(text);
  return number.has_value() && (text == "0" || text[0] != '0');
}

LsofFieldReading unknownFields(const char* message) { return {{}, message}; }

AttachedImagesAnswer unsupportedImages() { return {{}, kAttachedImagesUnsupportedMessage}; }

}  // namespace

LsofFieldReading readLsofFieldRecords(std::string_view output) {
  if (!platform::isValidUtf8(output)) return unknownFields(kLsofUndecodableMessage);
  LsofFieldReading reading;
  std::optional<pid_t> process;
  // Files named within the current process set.
  std::size_t processFiles = 0;
  // The file whose name is awaited, once its "f" field was read.
  std::optional<std::string> pendingDescriptor;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    const std::string_view line = output.substr(start, end - start);
    start = end + 1;
    if (line.empty()) return unknownFields(kLsofUnsupportedRecordMessage);
    const std::string_view rest = line.substr(1);
    switch (line[0]) {
      case 'p': {
        if (pendingDescriptor || (process && processFiles == 0)) return unknownFields(kLsofRecordsIncompleteMessage);
        processFiles = 0;
        process = positiveDecimal(rest);
        if (!process || *process == 0) return unknownFields(kLsofProcessMalformedMessage);
        break;
      }
      case 'f':
        if (!process) return unknownFields(kLsofDescriptorIncompleteMessage);
        if (pendingDescriptor) return unknownFields(kLsofRecordsIncompleteMessage);
        if (!isDescriptor(rest)) return unknownFields(kLsofDescriptorIncompleteMessage);
        pendingDescriptor = std::string(rest);
        break;
      case 'n':
        if (!process || !pendingDescriptor) return unknownFields(kLsofRecordsIncompleteMessage);
        reading.files.push_back({*process, std::move(*pendingDescriptor), std::string(rest)});
        pendingDescriptor.reset();
        ++processFiles;
        break;
      default:
        return unknownFields(kLsofUnsupportedRecordMessage);
    }
  }
  if (pendingDescriptor || (process && processFiles == 0)) return unknownFields(kLsofRecordsIncompleteMessage);
  return reading;
}

std::optional<std::vector<std::string>> readProcessCommands(std::string_view output) {
  if (!platform::isValidUtf8(output)) return std::nullopt;
  constexpr std::string_view kBlank = " \t";
  std::vector<std::string> commands;
  bool firstProcessSeen = false;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    std::string_view line = output.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find_first_not_of(kBlank);
    if (first == std::string_view::npos) return std::nullopt;
    line = line.substr(first, line.find_last_not_of(kBlank) - first + 1);
    for (unsigned char c : line) {
      if (c < 0x20 || c == 0x7F) return std::nullopt;
    }
    // A path, or one word: ps shows a process whose path it cannot read by its short
    // name. A bare name with a blank in it is a line of another form (a header).
    if (line[0] != '/' && line.find_first_of(" \t/") != std::string_view::npos) return std::nullopt;
    firstProcessSeen = firstProcessSeen || line == kFirstProcessCommand;
    commands.emplace_back(line);
  }
  if (!firstProcessSeen) return std::nullopt;
  return commands;
}

AttachedImagesAnswer readAttachedImageList(std::string_view plist) {
  const std::optional<platform::PropertyList> list = platform::PropertyList::parse(plist, kMaxImageListBytes);
  if (!list || list->root().type() != PlistType::dictionary) return unsupportedImages();
  const PlistNode images = list->root().get("images");
  if (images.type() != PlistType::array) return unsupportedImages();
  AttachedImagesAnswer answer;
  try {
    for (const PlistNode& image : images.elements()) {
      const std::optional<std::string> imagePath = image.get("image-path").asString();
      const PlistNode entities = image.get("system-entities");
      if (!imagePath || entities.type() != PlistType::array) return unsupportedImages();
      PreparationAttachedImage attached{canonicalPath(*imagePath), {}, {}};
      for (const PlistNode& entity : entities.elements()) {
        const std::optional<std::string> device = entity.get("dev-entry").asString();
        const PlistNode mount = entity.get("mount-point");
        if (!device || (mount.valid() && mount.type() != PlistType::string)) return unsupportedImages();
        if (!device->empty()) attached.devices.push_back(*device);
        const std::string mountPoint = mount.asString().value_or("");
        if (!mountPoint.empty()) attached.mounts.push_back(canonicalPath(mountPoint));
      }
      answer.images.push_back(std::move(attached));
    }
  } catch (const InstallerSafetyError& error) {
    return {{}, error.what()};
  }
  return answer;
}

}  // namespace tidewarden::storage
