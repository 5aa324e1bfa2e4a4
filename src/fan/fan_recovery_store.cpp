// The recovery record on disk: a root-only directory, atomic replacement, and the checks before it is believed.
#include "fan/fan_recovery_store.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <exception>
#include <string>

#include "fan/fan_control_error.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/uuid.h"

namespace tidewarden::fan {
namespace {

constexpr std::array<const char*, 4> kComponents = {"Library", "Application Support", "Tidewarden", "FanControl"};
// Only these two are ours to create; the system's own folders must already exist.
bool mayCreate(const std::string& component) { return component == "Tidewarden" || component == "FanControl"; }

constexpr const char* kTemporaryPrefix = "lease-";
constexpr const char* kTemporarySuffix = ".tmp";
// The directory holds the record and, after kills, a few temporaries.
constexpr std::size_t kMaxListedEntries = 1024;

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kForeignWriteBits = 022;
constexpr mode_t kForeignAccessBits = 077;

[[noreturn]] void refuse(const std::string& message) { throw FanControlError::refused(message); }

}  // namespace

std::optional<platform::UniqueFd> FanRecoveryStore::openDirectory(bool create) {
  platform::UniqueFd current = platform::openAt(root_.get(), ".", O_RDONLY | O_DIRECTORY);
  if (!current) refuse("Could not pin the fan recovery directory.");
  for (const std::string component : kComponents) {
    if (create && mayCreate(component) && !platform::makeDirectoryAt(current.get(), component, kDirectoryMode)) {
      refuse("Could not create the fan recovery directory.");
    }
    platform::UniqueFd next = platform::openAt(current.get(), component, O_RDONLY | O_DIRECTORY);
    if (!next) {
      if (!create && errno == ENOENT) return std::nullopt;
      refuse("Fan recovery storage is redirected or inaccessible.");
    }
    const auto facts = platform::fileFacts(next.get());
    if (!facts || facts->owner != 0 || (facts->permissions & kForeignWriteBits) != 0) {
      refuse("Fan recovery storage must be root-owned and not group/world writable.");
    }
    current = std::move(next);
  }
  return current;
}

void FanRecoveryStore::write(const FanRecoveryRecord& record) {
  std::optional<platform::UniqueFd> directory = openDirectory(/*create=*/true);
  if (!directory) refuse("No fan recovery storage.");
  // encode() refuses a non-finite number instead of writing null, which would make the
  // record unreadable at the next start.
  const std::optional<std::string> bytes = platform::json::encode(platform::json::encodeValue(record));
  if (!bytes) refuse("Fan recovery state could not be committed. No new override was approved.");
  const std::string temporary = kTemporaryPrefix + platform::makeUuidString() + kTemporarySuffix;
  switch (platform::replaceFileAtomically(directory->get(), kFileName, temporary, *bytes, kRecordMode)) {
    case platform::ReplaceResult::replaced:
      return;
    case platform::ReplaceResult::notCreated:
      refuse("Could not write fan recovery state.");
    case platform::ReplaceResult::notCommitted:
      refuse("Fan recovery state could not be committed. No new override was approved.");
  }
}

std::optional<FanRecoveryRecord> FanRecoveryStore::read() {
  std::optional<platform::UniqueFd> directory = openDirectory(/*create=*/false);
  if (!directory) return std::nullopt;
  const platform::UniqueFd file = platform::openAt(directory->get(), std::string(kFileName), O_RDONLY);
  if (!file) {
    if (errno == ENOENT) return std::nullopt;
    refuse("Could not read fan recovery state.");
  }
  const auto facts = platform::fileFacts(file.get());
  if (!facts || facts->owner != 0 || facts->links != 1 || !facts->regular ||
      (facts->permissions & kForeignAccessBits) != 0 || facts->size < 1 ||
      facts->size > static_cast<off_t>(kMaxRecordBytes)) {
    refuse("Fan recovery state is unsafe.");
  }
  std::string text;
  if (!platform::readAll(file.get(), text, kMaxRecordBytes) || text.size() != static_cast<std::size_t>(facts->size)) {
    refuse("Fan recovery state is incomplete.");
  }
  try {
    return platform::json::decodeDocument<FanRecoveryRecord>(text);
  } catch (const std::exception& error) {
    refuse(error.what());
  }
}

void FanRecoveryStore::clear() {
  std::optional<platform::UniqueFd> directory = openDirectory(/*create=*/false);
  if (!directory) return;
  if (!platform::removeFileAt(directory->get(), kFileName) && errno != ENOENT) {
    refuse("Could not clear the completed fan recovery record.");
  }
}

void FanRecoveryStore::removeStaleTemporaries() {
  std::optional<platform::UniqueFd> directory;
  try {
    directory = openDirectory(/*create=*/false);
  } catch (const std::exception&) {
    return;
  }
  if (!directory) return;
  const std::optional<platform::DirectoryListing> listing = platform::listDirectory(directory->get(), kMaxListedEntries);
  if (!listing) return;
  for (const std::string& name : listing->names) {
    if (name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix)) {
      platform::removeFileAt(directory->get(), name);
    }
  }
}

}  // namespace tidewarden::fan
