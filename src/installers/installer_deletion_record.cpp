// Intent records of installer deletions, so that a deletion cut short by a crash can be finished.
#include "installers/installer_deletion_record.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <utility>

#include "installers/installer_application_name.h"
#include "platform/directory_entries.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/json_codec.h"
#include "platform/sha256.h"
#include "platform/uuid.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::installers {
namespace {

using platform::SafeName;
using storage::InstallerSafetyError;

constexpr mode_t kRecordFolderMode = 0700;
constexpr mode_t kRecordMode = 0600;
constexpr std::string_view kRecordSuffix = ".json";
constexpr std::string_view kPendingSuffix = ".pending";
constexpr std::size_t kRecordListingLimit = 4096;

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }

const std::string& folderPath() {
  static const std::string path(kInstallerDeletionRecordFolder);
  return path;
}

// The record folder, or an invalid descriptor when it does not exist and `create` is false.
platform::UniqueFd openRecordFolder(const platform::Platform& platform, bool create) {
  platform::UniqueFd folder =
      create ? platform::openOrMakeDirectoriesBeneath(platform.root, kInstallerDeletionRecordFolder, kRecordFolderMode)
             : platform::openBeneath(platform.root, kInstallerDeletionRecordFolder, O_RDONLY | O_DIRECTORY);
  if (!folder) {
    if (!create && errno == ENOENT) return folder;
    refuse("Cannot open the installer deletion records in " + folderPath() + ": " + platform::errnoText(errno));
  }
  // Records decide what may be deleted: only a folder nobody but the system can write to counts.
  if (!platform::isPrivateFolder(platform.root.get(), folder.get())) {
    refuse("The installer deletion records in " + folderPath() + " are not protected; nothing was removed.");
  }
  return folder;
}

// A path the tree snapshot could have written: supported names joined by "/".
bool isRelativeTreePath(std::string_view path) {
  for (std::size_t start = 0;;) {
    const std::size_t slash = path.find('/', start);
    const std::string_view name = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
    if (!storage::isSupportedPreparationName(name)) return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

constexpr std::string_view kSlotMagic = "tidewarden-deletion-record-slot 1 ";
constexpr const char* kSlotDamaged = "An installer deletion record slot is damaged.";

std::string slotName() { return std::string(kDeletionRecordSlotName); }

std::string sha256Hex(std::string_view bytes) {
  const platform::Sha256::Digest digest = platform::Sha256::of(bytes);
  return platform::toLowerHex(digest.data(), digest.size());
}

// The slot, opened for reading and writing, if it is the helper's own: a root-owned
// regular file with one link and exactly its reserved size. Invalid when missing.
platform::UniqueFd openSlot(int folder) {
  platform::UniqueFd slot = platform::openAt(folder, slotName(), O_RDWR | O_NONBLOCK);
  if (!slot) return slot;
  const auto facts = platform::fileFacts(slot.get());
  if (!facts || !facts->regular || facts->owner != 0 || facts->links != 1 ||
      facts->size != static_cast<std::int64_t>(kDeletionRecordSlotBytes)) {
    errno = EINVAL;
    return platform::UniqueFd();
  }
  return slot;
}

// Writes `bytes` into a free slot; false (nothing changed that a reader would take for
// a record) when there is no usable free slot or the record does not fit.
bool writeIntoSlot(int folder, std::string_view bytes) {
  if (bytes.size() > kDeletionRecordSlotBytes - kDeletionRecordSlotHeaderBytes) return false;
  const platform::UniqueFd slot = openSlot(folder);
  std::string held;
  if (!slot || !platform::readAll(slot.get(), held, kDeletionRecordSlotBytes) || held.empty() || held[0] != '\0') {
    return false;
  }
  // The record first, then the header that makes it count: a crash before the header
  // is synced leaves a free slot, and the deletion has not begun.
  return platform::writeAllAt(slot.get(), kDeletionRecordSlotHeaderBytes, bytes) && platform::syncFile(slot.get()) &&
         platform::writeAllAt(slot.get(), 0, deletionRecordSlotHeader(bytes)) && platform::syncFile(slot.get());
}

}  // namespace

std::string deletionRecordSlotHeader(std::string_view recordBytes) {
  std::string header = std::string(kSlotMagic) + std::to_string(recordBytes.size()) + " " + sha256Hex(recordBytes) + "\n";
  header.resize(kDeletionRecordSlotHeaderBytes, '\0');
  return header;
}

std::optional<InstallerDeletionRecord> decodeDeletionRecordSlot(std::string_view bytes) {
  if (bytes.size() < kDeletionRecordSlotHeaderBytes) refuse(kSlotDamaged);
  if (bytes[0] == '\0') return std::nullopt;
  const std::string_view header = bytes.substr(0, kDeletionRecordSlotHeaderBytes);
  const std::size_t end = header.find('\n');
  if (!header.starts_with(kSlotMagic) || end == std::string_view::npos ||
      header.find_first_not_of('\0', end + 1) != std::string_view::npos) {
    refuse(kSlotDamaged);
  }
  const std::string_view fields = header.substr(kSlotMagic.size(), end - kSlotMagic.size());
  const std::size_t space = fields.find(' ');
  const std::string_view length = fields.substr(0, space);
  if (space == std::string_view::npos || length.empty() || length.size() > 7 ||
      length.find_first_not_of("0123456789") != std::string_view::npos) {
    refuse(kSlotDamaged);
  }
  const std::size_t size = std::stoul(std::string(length));
  if (size > bytes.size() - kDeletionRecordSlotHeaderBytes) refuse(kSlotDamaged);
  const std::string_view record = bytes.substr(kDeletionRecordSlotHeaderBytes, size);
  if (fields.substr(space + 1) != sha256Hex(record)) refuse(kSlotDamaged);
  return decodeDeletionRecord(record);
}

bool ensureDeletionRecordSlot(const platform::Platform& platform) {
  try {
    const platform::UniqueFd folder = openRecordFolder(platform, /*create=*/true);
    if (platform::fileFactsAt(folder.get(), slotName())) return true;
    return platform::createFileAtomically(folder.get(), *SafeName::make(slotName()),
                                          *SafeName::make(".reserved-record" + std::string(kPendingSuffix)),
                                          std::string(kDeletionRecordSlotBytes, '\0'), kRecordMode);
  } catch (const std::exception&) {
    return false;
  }
}

InstallerDeletionRecord deletionRecord(const std::string& path, std::uint64_t device, std::uint64_t inode,
                                       const storage::PreparationTreeSnapshot& approved) {
  InstallerDeletionRecord record{path, device, inode, {}};
  record.entries.reserve(approved.entries.size());
  for (const storage::PreparationTreeEntry& entry : approved.entries) {
    record.entries.push_back({entry.relativePath, entry.identity.device, entry.identity.inode, entry.mode,
                              entry.identity.logicalBytes, entry.identity.modifiedSeconds,
                              entry.identity.modifiedNanoseconds});
  }
  return record;
}

std::string writeDeletionRecord(const platform::Platform& platform, const InstallerDeletionRecord& record) {
  const auto bytes = platform::json::encode(platform::json::encodeValue(record));
  if (!bytes || bytes->size() > kMaxDeletionRecordBytes) {
    refuse("The installer is too large to record its deletion safely. Nothing was removed.");
  }
  const platform::UniqueFd folder = openRecordFolder(platform, /*create=*/true);
  if (writeIntoSlot(folder.get(), *bytes)) return slotName();
  const std::string id = platform::makeUuidString();
  const SafeName name = *SafeName::make(id + std::string(kRecordSuffix));
  const SafeName pending = *SafeName::make("." + id + std::string(kPendingSuffix));
  // Exclusive create, sync, rename without replacing, folder sync: the record is whole
  // and durable before the first entry goes.
  if (!platform::createFileAtomically(folder.get(), name, pending, *bytes, kRecordMode)) {
    refuse("Cannot record the deletion in " + folderPath() + ": " + platform::errnoText(errno) +
           ". The space set aside for this record is missing, in use by an interrupted deletion, or too small for "
           "this installer. Nothing was removed.");
  }
  return name.str();
}

bool removeDeletionRecord(const platform::Platform& platform, const std::string& name) {
  try {
    const platform::UniqueFd folder = openRecordFolder(platform, /*create=*/false);
    if (!folder) return true;
    if (name == kDeletionRecordSlotName) {
      const platform::UniqueFd slot = openSlot(folder.get());
      return slot && platform::writeAllAt(slot.get(), 0, std::string(kDeletionRecordSlotHeaderBytes, '\0')) &&
             platform::syncFile(slot.get());
    }
    if (!platform::removeFileAt(folder.get(), name) && errno != ENOENT) return false;
    return platform::syncFile(folder.get());
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<StoredDeletionRecord> readDeletionRecords(const platform::Platform& platform) {
  std::vector<StoredDeletionRecord> found;
  const platform::UniqueFd folder = openRecordFolder(platform, /*create=*/false);
  if (!folder) return found;
  const auto listing = platform::listDirectory(folder.get(), kRecordListingLimit);
  if (!listing || listing->truncated) {
    refuse("Cannot list the installer deletion records in " + folderPath() + ".");
  }
  for (const std::string& name : listing->names) {
    if (name.starts_with('.') && endsWith(name, kPendingSuffix)) {
      // Never moved into place: the deletion it was written for never began.
      platform::removeFileAt(folder.get(), name);
      continue;
    }
    StoredDeletionRecord stored{name, std::nullopt};
    if (name == kDeletionRecordSlotName) {
      const platform::UniqueFd slot = openSlot(folder.get());
      std::string bytes;
      try {
        if (slot && platform::readAll(slot.get(), bytes, kDeletionRecordSlotBytes)) {
          stored.record = decodeDeletionRecordSlot(bytes);
          if (!stored.record) continue;  // free
        }
      } catch (const std::exception&) {
        // Left unknown: it may still cover a bundle.
      }
      found.push_back(std::move(stored));
      continue;
    }
    const auto safe = SafeName::make(name);
    const platform::UniqueFd file =
        safe ? platform::openAt(folder.get(), *safe, O_RDONLY | O_NONBLOCK) : platform::UniqueFd();
    const auto status = file ? platform::entryStatusOf(file.get()) : std::nullopt;
    std::string text;
    if (endsWith(name, kRecordSuffix) && status && status->kind == platform::EntryKind::regular &&
        platform::readAll(file.get(), text, kMaxDeletionRecordBytes)) {
      try {
        stored.record = decodeDeletionRecord(text);
      } catch (const std::exception&) {
        // Left unknown: it may still cover a bundle.
      }
    }
    found.push_back(std::move(stored));
  }
  platform::syncFile(folder.get());
  return found;
}

InstallerDeletionRecord decodeDeletionRecord(std::string_view text) {
  InstallerDeletionRecord record = platform::json::decodeDocument<InstallerDeletionRecord>(text);
  if (!immediateInstallerName(record.path)) refuse("An installer deletion record names no local installer.");
  for (const InstallerDeletionRecordEntry& entry : record.entries) {
    if (!isRelativeTreePath(entry.relativePath)) {
      refuse("An installer deletion record holds an invalid entry.");
    }
  }
  return record;
}

bool remainsMatchRecord(const storage::PreparationTreeSnapshot& remains, const InstallerDeletionRecord& record) {
  std::map<std::string_view, const InstallerDeletionRecordEntry*> byPath;
  for (const InstallerDeletionRecordEntry& entry : record.entries) byPath.emplace(entry.relativePath, &entry);
  for (const storage::PreparationTreeEntry& entry : remains.entries) {
    const auto found = byPath.find(entry.relativePath);
    if (found == byPath.end()) return false;
    const InstallerDeletionRecordEntry& held = *found->second;
    if (held.device != entry.identity.device || held.inode != entry.identity.inode ||
        held.mode != static_cast<std::int64_t>(entry.mode)) {
      return false;
    }
    if ((entry.mode & S_IFMT) != S_IFDIR &&
        (held.logicalBytes != entry.identity.logicalBytes || held.modifiedSeconds != entry.identity.modifiedSeconds ||
         held.modifiedNanoseconds != entry.identity.modifiedNanoseconds)) {
      return false;
    }
  }
  return true;
}

bool remainsAreWhole(const storage::PreparationTreeSnapshot& remains, const InstallerDeletionRecord& record) {
  if (remains.entries.size() != record.entries.size() || !remainsMatchRecord(remains, record)) return false;
  std::map<std::string_view, const InstallerDeletionRecordEntry*> byPath;
  for (const InstallerDeletionRecordEntry& entry : record.entries) byPath.emplace(entry.relativePath, &entry);
  if (byPath.size() != record.entries.size()) return false;
  for (const storage::PreparationTreeEntry& entry : remains.entries) {
    const InstallerDeletionRecordEntry& held = *byPath.at(entry.relativePath);
    if (held.logicalBytes != entry.identity.logicalBytes || held.modifiedSeconds != entry.identity.modifiedSeconds ||
        held.modifiedNanoseconds != entry.identity.modifiedNanoseconds) {
      return false;
    }
  }
  return true;
}

}  // namespace tidewarden::installers
