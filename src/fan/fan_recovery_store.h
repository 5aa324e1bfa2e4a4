// The recovery record on disk: a root-only directory, atomic replacement, and the checks before it is believed.
#pragma once

#include <cstddef>
#include <optional>

#include "fan/fan_messages.h"
#include "platform/unique_fd.h"

namespace tidewarden::fan {

// "/Library/Application Support/Tidewarden/FanControl/lease.json", walked from the
// platform's root one component at a time without following any link. Every
// component must be owned by root and writable by no one else, so no other user can
// plant, swap or redirect the record. Every failure is FanControlError::refused.
class FanRecoveryStore {
 public:
  static constexpr const char* kFileName = "lease.json";
  static constexpr std::size_t kMaxRecordBytes = 16384;

  explicit FanRecoveryStore(const platform::UniqueFd& root) : root_(root) {}

  // Creates "Tidewarden" and "FanControl" (0755) when missing, then replaces the
  // record atomically through a new "lease-<UUID>.tmp" file (0600).
  void write(const FanRecoveryRecord& record);
  // The record, or nothing when there is none. A file that is not a root-owned,
  // single-link, regular 0600-or-stricter file of 1...16384 bytes is refused as unsafe.
  std::optional<FanRecoveryRecord> read();
  // Removes the record; a missing one is fine.
  void clear();
  // Removes the "lease-*.tmp" files a write killed before its rename left behind. Only
  // for start-up, before any write; a directory that cannot be opened is left alone
  // (the read that follows refuses it).
  void removeStaleTemporaries();

 private:
  // The FanControl directory, or nothing when `create` is false and a component is missing.
  std::optional<platform::UniqueFd> openDirectory(bool create);

  const platform::UniqueFd& root_;
};

}  // namespace tidewarden::fan
