// Activity evidence: whether processes, open files or attached images still use installer storage.
//
// Each check asks one system tool through the scoped command runner and reduces the
// answer to blocked (something is active), unknown (the answer could not be trusted)
// or clear. An incomplete capture, an unexpected exit status or output of the wrong
// shape is unknown, never clear, and callers block on unknown as on blocked: removing
// files beneath a process or a mount is the one mistake these checks exist to prevent.
// Paths reported by the tools are compared only in their canonical spelling.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/system_tools.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::storage {

class InstallerActivityEvidence {
 public:
  enum class Kind { blocked, unknown, clear };

  // Something is active; `text` says what.
  static InstallerActivityEvidence blocked(std::string text) { return {Kind::blocked, std::move(text)}; }
  // The check could not be completed; `text` says why.
  static InstallerActivityEvidence unknown(std::string text) { return {Kind::unknown, std::move(text)}; }
  static InstallerActivityEvidence clear() { return {Kind::clear, {}}; }

  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }
  bool isClear() const { return kind_ == Kind::clear; }

  friend bool operator==(const InstallerActivityEvidence&, const InstallerActivityEvidence&) = default;

 private:
  InstallerActivityEvidence(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// One attached disk image: its canonical path, the canonical mount points and the
// device paths (such as /dev/disk5s1) of its entities.
struct PreparationAttachedImage {
  std::string imagePath;
  std::vector<std::string> mounts;
  std::vector<std::string> devices;

  friend bool operator==(const PreparationAttachedImage&, const PreparationAttachedImage&) = default;
};

// The attached images, or why they could not be known (`unknownReason` set, `images`
// then empty and meaningless).
struct AttachedImagesAnswer {
  std::vector<PreparationAttachedImage> images;
  std::optional<std::string> unknownReason;
};

inline constexpr const char* kOpenHandlesUnknownMessage =
    "Tidewarden could not reliably inspect all process handles. Nothing can be removed until a complete check "
    "succeeds.";
inline constexpr const char* kOpenInstallerFileMessage =
    "A process still has this installer file open. Stop the download in its owning app, then check again.";
inline constexpr const char* kInstallationProcessUnknownMessage =
    "Could not verify whether a macOS installation command is running.";
inline constexpr const char* kInstallationProcessRunningMessage =
    "A macOS installer or softwareupdate command is running. Tidewarden will not remove Apple\u2019s partial files "
    "while it is running.";
inline constexpr const char* kPreparationProcessUnknownMessage =
    "Preparation process activity could not be fully checked.";
inline constexpr const char* kPreparationProcessRunningMessage =
    "A package or disk-image command is still running. Wait for it to finish before cleaning preparation storage.";
inline constexpr const char* kPreparationOpenFilesIncompleteMessage =
    "Preparation open-file inspection was incomplete. Nothing was removed.";
inline constexpr const char* kPreparationOpenFilesUnexpectedMessage =
    "Preparation open-file inspection returned an unexpected result.";
inline constexpr const char* kAttachedImagesFailedMessage =
    "Could not verify attached disk images. Preparation storage was kept rather than deleting beneath an unknown "
    "mount.";
inline constexpr const char* kAttachedImagesUnsupportedMessage =
    "Attached-image inspection returned an unsupported result; preparation cleanup is blocked.";
inline constexpr const char* kImageAssociatedMessage =
    "A disk image is still associated with this preparation workspace. It was not recursively deleted. No "
    "unrelated disk was detached.";

// The checks. Each runs its tool (platform/system_tools.h) through runScopedCommand and
// reads the result with the matching read* function below. None throws.

// Open files of download candidates, keyed by each path's canonical spelling (a path
// that has none is keyed as given and unknown). An empty list runs nothing.
std::map<std::string, InstallerActivityEvidence> openFileEvidence(const platform::Platform& platform,
                                                                  const std::vector<std::string>& paths);
// A macOS installation program (softwareupdate, startosinstall, ...) is running.
InstallerActivityEvidence installationProcessEvidence(const platform::Platform& platform);
// Another process than the helper has files open at or beneath `directory`.
InstallerActivityEvidence preparationOpenFileEvidence(const platform::Platform& platform,
                                                      const std::string& directory);
// pkgutil or hdiutil is running.
InstallerActivityEvidence preparationProcessEvidence(const platform::Platform& platform);
// The attached disk images (hdiutil info).
AttachedImagesAnswer attachedImages(const platform::Platform& platform);
// Blocked when an image's file or one of its mount points lies at or beneath `root`
// (compared component by component, so /a/bc is not beneath /a/b).
InstallerActivityEvidence imageEvidence(const std::vector<PreparationAttachedImage>& images, const std::string& root);

// Readings of one tool result, for the checks above and for callers that run the
// same tool with their own invocation.
std::map<std::string, InstallerActivityEvidence> readOpenFileEvidence(const std::vector<std::string>& paths,
                                                                      const ScopedCommandResult& lsof);
InstallerActivityEvidence readInstallationProcessEvidence(const ScopedCommandResult& ps);
InstallerActivityEvidence readPreparationProcessEvidence(const ScopedCommandResult& ps);
// `ownPid`'s records are the helper's own and never block.
InstallerActivityEvidence readPreparationOpenFileEvidence(const ScopedCommandResult& lsof, pid_t ownPid);
AttachedImagesAnswer readAttachedImages(const ScopedCommandResult& hdiutil);

}  // namespace tidewarden::storage
