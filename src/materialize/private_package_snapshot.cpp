// The private, root-owned copy of the saved package that every later step works on.
#include "materialize/private_package_snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_io.h"
#include "storage/activity_evidence.h"
#include "storage/data_volume_free_space.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::materialize {
namespace {

using storage::InstallerSafetyError;

[[noreturn]] void refuse(const std::string& message) { throw InstallerSafetyError::refused(message); }
[[noreturn]] void refuseWithErrno(const std::string& prefix, int err) {
  refuse(prefix + ": " + platform::errnoText(err));
}

// Moves up to `length` bytes from `in` at `offset` to `out` at the same offset.
// Returns the count (0 at the source's end). Reports which side failed through the
// messages of the buffered path: the kernel copy is only used while it works, and
// any failure of it is retried through read and write, which tell the two apart.
class StepCopier {
 public:
  StepCopier(int in, int out) : in_(in), out_(out) {}

  std::size_t copy(std::int64_t offset, std::size_t length) {
    if (kernelCopy_) {
      loff_t from = offset;
      loff_t to = offset;
      for (;;) {
        const ssize_t moved = ::copy_file_range(in_, &from, out_, &to, length, 0);
        if (moved >= 0) return static_cast<std::size_t>(moved);
        if (errno != EINTR) break;
      }
      kernelCopy_ = false;
    }
    if (!buffer_) buffer_ = std::make_unique<char[]>(kSnapshotStepBytes);
    ssize_t got;
    do {
      got = ::pread(in_, buffer_.get(), length, offset);
    } while (got < 0 && errno == EINTR);
    if (got < 0) refuseWithErrno("Cannot read the saved package", errno);
    std::size_t written = 0;
    while (written < static_cast<std::size_t>(got)) {
      const ssize_t put = ::pwrite(out_, buffer_.get() + written, static_cast<std::size_t>(got) - written,
                                   offset + static_cast<std::int64_t>(written));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) refuseWithErrno("Cannot write the private package snapshot", put == 0 ? EIO : errno);
      written += static_cast<std::size_t>(put);
    }
    return static_cast<std::size_t>(got);
  }

 private:
  int in_;
  int out_;
  bool kernelCopy_ = true;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace

void makePrivatePackageSnapshot(const platform::Platform& platform, int sourceFd,
                                const storage::InstallerFileIdentity& sourceIdentity,
                                const storage::PreparationWorkspace& workspace) {
  const platform::UniqueFd directory = workspace.gate().openWorkspace(workspace.id());
  platform::UniqueFd snapshot =
      platform::openAt(directory.get(), std::string(kSnapshotName), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (!snapshot) refuseWithErrno("Cannot create the private package snapshot", errno);

  StepCopier copier(sourceFd, snapshot.get());
  std::int64_t total = 0;
  std::int64_t sinceCheck = 0;
  for (;;) {
    if (sinceCheck > kSnapshotFreeSpaceCheckBytes) {
      const auto available = storage::dataVolumeFreeBytes(platform);
      if (!available || *available <= kSnapshotReserveBytes) refuse(kSnapshotReserveMessage);
      sinceCheck = 0;
    }
    const std::size_t moved = copier.copy(total, kSnapshotStepBytes);
    if (moved == 0) break;
    total += static_cast<std::int64_t>(moved);
    sinceCheck += static_cast<std::int64_t>(moved);
    if (total > sourceIdentity.logicalBytes) refuse(kSnapshotGrewMessage);
  }
  const auto after = platform::fileFacts(sourceFd);
  if (!after || storage::fileIdentity(*after) != sourceIdentity || total != sourceIdentity.logicalBytes) {
    refuse(kSnapshotChangedMessage);
  }
  if (::fsync(snapshot.get()) != 0) refuseWithErrno("Cannot commit the private package snapshot", errno);
}

storage::InstallerFileIdentity privatePackageSnapshotIdentity(const storage::PreparationWorkspace& workspace) {
  const platform::UniqueFd directory = workspace.gate().openWorkspace(workspace.id());
  const auto facts = platform::fileFactsAt(directory.get(), std::string(kSnapshotName));
  if (!facts) refuseWithErrno("Cannot inspect the private package snapshot", errno);
  return storage::fileIdentity(*facts);
}

void removePrivatePackageSnapshot(const platform::Platform& platform, const storage::PreparationWorkspace& workspace,
                                  const storage::InstallerFileIdentity& identity) {
  const std::string path = workspace.path() + "/" + std::string(kSnapshotName);
  const auto evidence = storage::openFileEvidence(platform, {path});
  const auto found = evidence.find(path);
  if (found == evidence.end() || !found->second.isClear()) {
    refuse("The private package snapshot could not be removed: " +
           (found == evidence.end() ? std::string(storage::kOpenHandlesUnknownMessage) : found->second.text()));
  }
  const platform::UniqueFd directory = workspace.gate().openWorkspace(workspace.id());
  const auto facts = platform::fileFactsAt(directory.get(), std::string(kSnapshotName));
  if (!facts) refuseWithErrno("Cannot inspect the private package snapshot", errno);
  if (!facts->regular || facts->links != 1 || storage::fileIdentity(*facts) != identity) {
    refuse("The private package snapshot changed before its removal; it was kept for the workspace cleanup.");
  }
  if (!platform::removeFileAt(directory.get(), std::string(kSnapshotName))) {
    refuseWithErrno("Cannot remove the private package snapshot", errno);
  }
}

}  // namespace tidewarden::materialize
