// Disk Arbitration: sessions that describe disks and may refuse mounts through an approval callback.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tidewarden::platform {

class SerialQueue;

// What Disk Arbitration describes of a disk, by the description keys the helper reads
// (media BSD name, media UUID, media size, device path, volume path). A key the disk
// does not have is absent.
struct DiskDescription {
  std::optional<std::string> mediaBSDName;
  std::optional<std::string> mediaUUID;
  std::optional<std::int64_t> mediaSize;
  std::optional<std::string> devicePath;
  std::optional<std::string> volumePath;

  friend bool operator==(const DiskDescription&, const DiskDescription&) = default;
};

// kDAReturnBusy: the status a dissenter gives for a disk that must stay as it is.
inline constexpr std::int32_t kDiskArbitrationBusy = static_cast<std::int32_t>(0xF8DA0002);

// A refusal of a mount: its status and the message the system shows.
struct MountDissent {
  std::int32_t status = kDiskArbitrationBusy;
  std::string message;
};

// One session (DASessionCreate, scheduled on a dispatch queue). Destroying it
// unregisters its callback first.
class DiskArbitrationSession {
 public:
  // Called for every mount request in the system with the disk's BSD name; returns a
  // dissent to refuse the mount, nothing to approve it.
  using MountApproval = std::function<std::optional<MountDissent>(const std::string& bsdName)>;

  virtual ~DiskArbitrationSession() = default;
  // The description of the disk with this BSD name (DADiskCreateFromBSDName,
  // DADiskCopyDescription); nothing when there is no such disk or it cannot be read.
  virtual std::optional<DiskDescription> describe(const std::string& bsdName) = 0;
  // The description of its whole disk (DADiskCopyWholeDisk), or nothing.
  virtual std::optional<DiskDescription> describeWholeDisk(const std::string& bsdName) = 0;
  // Registers `approval` for every disk (no match dictionary); it runs on the session's
  // queue. False when it cannot be registered. One registration per session.
  virtual bool registerMountApproval(MountApproval approval) = 0;
  // After it returns no call of the approval is running or will start. Must not be
  // called from the session's queue.
  virtual void unregisterMountApproval() = 0;
};

class DiskArbitration {
 public:
  virtual ~DiskArbitration() = default;
  // A new session whose callbacks run on `queue` (which must outlive the session), or
  // nullptr when no session can be made: mount approval is then unavailable.
  virtual std::unique_ptr<DiskArbitrationSession> createSession(SerialQueue& queue) = 0;
};

}  // namespace tidewarden::platform
