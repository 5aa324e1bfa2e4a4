// Intent records of installer deletions, so that a deletion cut short by a crash can be finished.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "installers/installers_messages.h"
#include "platform/platform.h"
#include "storage/preparation_tree_snapshot.h"

namespace tidewarden::installers {

// A deletion removes a bundle bottom-up; a helper killed part-way leaves a bundle whose
// identity and signature no longer pass, so no ordinary review could approve it again.
// Each deletion therefore records its intent here first (root-owned 0700 folder, 0600
// record created exclusively and moved into place without replacing, both synced), and
// a later scan offers what is left of a recorded bundle for deletion again.
inline constexpr std::string_view kInstallerDeletionRecordFolder =
    "/Library/Application Support/Tidewarden/InstallerDeletions";
// The largest record read; a snapshot of kInstallerEntryLimit entries fits well within it.
inline constexpr std::size_t kMaxDeletionRecordBytes = 64u << 20;

// A volume with no space left is when a deletion is needed most, and a new record
// cannot be written there. So a slot of this size is set aside in the folder while
// there is space (ensureDeletionRecordSlot), and a deletion's record is written into it
// in place: a header block (kDeletionRecordSlotHeaderBytes, all zero while the slot is
// free, written last) and the record after it. An overwrite of bytes the file already
// holds needs no new space on this file system. A record that does not fit, or a slot
// that holds another deletion's record, takes a file of its own as before.
inline constexpr std::string_view kDeletionRecordSlotName = "reserved-record.slot";
inline constexpr std::size_t kDeletionRecordSlotBytes = 1u << 20;
inline constexpr std::size_t kDeletionRecordSlotHeaderBytes = 4096;

// Sets the slot aside unless it exists (creating the folder when missing). False when
// it could not (a full volume, for one); nothing else depends on it.
bool ensureDeletionRecordSlot(const platform::Platform& platform);

// What a slot's bytes hold: nothing (a free slot), a record, or an unreadable one.
// Throws json::DecodeError or InstallerSafetyError when a header names a record that
// is not whole or not valid; returns nothing for a free slot.
std::optional<InstallerDeletionRecord> decodeDeletionRecordSlot(std::string_view bytes);
// The slot's header block for `recordBytes` (written after them, at offset 0).
std::string deletionRecordSlotHeader(std::string_view recordBytes);

// The record of a deletion of the bundle `path` whose directory has `device` and `inode`.
InstallerDeletionRecord deletionRecord(const std::string& path, std::uint64_t device, std::uint64_t inode,
                                       const storage::PreparationTreeSnapshot& approved);

// Writes the record durably, into the free slot when it fits there, and returns its
// file name (the slot's for the slot). Throws InstallerSafetyError when it cannot be
// written, or when the folder is not the helper's own; nothing is removed then.
std::string writeDeletionRecord(const platform::Platform& platform, const InstallerDeletionRecord& record);

// Removes the record `name` (frees the slot for the slot's name) and syncs. False when
// that cannot be confirmed.
bool removeDeletionRecord(const platform::Platform& platform, const std::string& name);

// One record as found: `record` is empty when its file could not be read or understood,
// which tells nothing about which bundle it covers.
struct StoredDeletionRecord {
  std::string name;
  std::optional<InstallerDeletionRecord> record;
};

// Every record in the folder (none when the folder does not exist). A record file a
// crash left half-written (never moved into place, so its deletion never began) is
// removed. Throws InstallerSafetyError when the folder cannot be read or is not private.
std::vector<StoredDeletionRecord> readDeletionRecords(const platform::Platform& platform);

// Decodes and checks one record's bytes: a path directly in /Applications, entries
// whose relative paths are supported names joined by "/". Throws json::DecodeError or
// InstallerSafetyError on anything else.
InstallerDeletionRecord decodeDeletionRecord(std::string_view text);

// True when every entry of `remains` is one the record holds: same path, device, inode
// and mode, and for all but directories (whose contents the deletion changed) the same
// size and modification time. Nothing new, nothing changed.
bool remainsMatchRecord(const storage::PreparationTreeSnapshot& remains, const InstallerDeletionRecord& record);

// True when `remains` is the whole recorded tree, every entry unchanged (directories
// included): the deletion the record was written for never removed anything.
bool remainsAreWhole(const storage::PreparationTreeSnapshot& remains, const InstallerDeletionRecord& record);

}  // namespace tidewarden::installers
