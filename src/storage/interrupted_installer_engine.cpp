// The interrupted-installer engine: download scans, their approvals, and removal of approved downloads.
#include "storage/interrupted_installer_engine.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/file_flags.h"
#include "platform/file_io.h"
#include "platform/process_facts.h"
#include "platform/uuid.h"
#include "storage/activity_evidence.h"
#include "storage/data_volume_free_space.h"
#include "storage/installer_download_discovery.h"
#include "storage/installer_removal_target.h"
#include "storage/installer_safety_error.h"
#include "storage/safe_paths.h"

namespace tidewarden::storage {
namespace {

constexpr const char* kHandleCheckIncomplete = "Process-handle inspection was incomplete.";
constexpr const char* kCompletePackagePrefix =
    "This may be a complete package retained after preparation failed, not a partial download. Removing it means "
    "downloading it again. ";
constexpr const char* kDownloadApprovalExpired =
    "A selection expired or is no longer approved. Check Installer Downloads again.";

using EvidenceMap = std::map<std::string, InstallerActivityEvidence>;

bool isClear(const InstallerActivityEvidence& evidence) { return evidence.isClear(); }
bool isBlocked(const InstallerActivityEvidence& evidence) {
  return evidence.kind() == InstallerActivityEvidence::Kind::blocked;
}

std::string parentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Unix seconds on the platform's wall clock, the time base of file times.
double unixNow(const platform::Platform& platform) { return platform.clock.now() + platform::kReferenceDateOffset; }

void addWarning(std::vector<std::string>& warnings, const std::string& warning) {
  if (std::find(warnings.begin(), warnings.end(), warning) == warnings.end()) warnings.push_back(warning);
}

// One download the scan looks at twice.
struct Candidate {
  std::string path;
  InstallerDownloadSource source;
  platform::UniqueFd parent;
  InstallerFileIdentity first;
};

struct Verdict {
  InstallerDownloadActivity activity;
  std::string explanation;
};

// The scan's activity rules, in order; the first that applies wins.
Verdict judge(const platform::Platform& platform, const Candidate& candidate,
              const std::optional<InstallerFileIdentity>& second, const EvidenceMap& openFiles,
              const std::optional<InstallerActivityEvidence>& processes) {
  using Activity = InstallerDownloadActivity;
  if (candidate.first.links > 1) {
    return {Activity::unverified, "This file has multiple hard links. Tidewarden will not remove it."};
  }
  if (!second || *second != candidate.first) {
    return {Activity::active, "The file changed during the check. It may still be downloading."};
  }
  const auto evidence = openFiles.find(candidate.path);
  if (evidence == openFiles.end()) return {Activity::unverified, kHandleCheckIncomplete};
  if (!isClear(evidence->second)) {
    return {isBlocked(evidence->second) ? Activity::active : Activity::unverified, evidence->second.text()};
  }
  const bool apple = candidate.source == InstallerDownloadSource::appleSoftwareUpdate;
  if (apple && processes && !isClear(*processes)) {
    return {isBlocked(*processes) ? Activity::active : Activity::unverified, processes->text()};
  }
  try {
    // Only a check: the target's descriptors (and any lock it took) are released here.
    validateRemovalTarget(platform, candidate.path, candidate.first);
  } catch (const InstallerSafetyError& error) {
    const std::string text = error.what();
    return {text.find("still downloading") != std::string::npos ? Activity::active : Activity::unverified,
            "A matching download changed or became inaccessible while checking: " + text};
  }
  const double changed = static_cast<double>(std::max(candidate.first.modifiedSeconds, candidate.first.changedSeconds));
  const double window = apple ? kAppleRecentWindowSeconds : kOwnRecentWindowSeconds;
  if (unixNow(platform) - changed < window) {
    return {Activity::recent,
            apple ? "Changed within the last 10 minutes. Stop the download in its owning app, then check again after "
                    "it has been idle."
                  : "Changed within the last minute. Wait until the download or preparation has stopped, then check "
                    "again."};
  }
  return {Activity::inactive,
          "No open file handles were found and the file did not change during the check. Removal performs a fresh "
          "20-second activity check."};
}

// The open-file rule of removal for one target: nothing when it may go on, else its issue text.
std::optional<std::string> openFileIssue(const EvidenceMap& openFiles, const std::string& path) {
  const auto evidence = openFiles.find(path);
  if (evidence == openFiles.end()) return std::string("Open-file check incomplete.");
  if (!isClear(evidence->second)) return evidence->second.text();
  return std::nullopt;
}

// Step 10 for one target: its folder is still the one at its path, the file is still
// exactly what was approved, then unlinkat relative to the pinned folder and a look
// proving it gone. Nothing when removed, else why it was kept.
std::optional<std::string> removePinnedTarget(const platform::Platform& platform,
                                              const InstallerRemovalTarget& target) {
  const std::string name = target.name();
  const std::optional<platform::FileFacts> pinned = platform::fileFacts(target.directory.get());
  std::optional<platform::FileFacts> again;
  try {
    const platform::UniqueFd reopened = openDirectoryNoFollow(platform.root, parentOf(target.path));
    again = platform::fileFacts(reopened.get());
  } catch (const InstallerSafetyError&) {
  }
  if (!pinned || !again || pinned->device != again->device || pinned->inode != again->inode) {
    return "The download folder was moved or replaced during the check. Nothing was removed.";
  }
  std::optional<InstallerFileIdentity> current;
  try {
    current = inspectDownloadFile(target.directory.get(), name);
  } catch (const InstallerSafetyError&) {
  }
  if (!current || current->links != 1 || current->device != target.identity.device ||
      current->inode != target.identity.inode) {
    return "The file changed, was replaced, or has multiple hard links. Nothing was removed.";
  }
  if (*current != target.identity) return "The file changed during the 20-second check. Nothing was removed.";
  if (!platform.fileFlags.removeFileAt(target.directory.get(), name)) {
    return "Could not remove installer download: " + platform::errnoText(errno);
  }
  if (platform::fileFactsAt(target.directory.get(), name) || errno != ENOENT) {
    return "A file is present again at the download path. Removal could not be verified.";
  }
  return std::nullopt;
}

}  // namespace

InterruptedInstallerEngine::InterruptedInstallerEngine(const platform::Platform& platform,
                                                       platform::SerialQueue& queue)
    : platform_(platform), queue_(queue) {}

void InterruptedInstallerEngine::pruneExpired(double now) {
  std::erase_if(approvals_, [now](const auto& entry) { return entry.second.expiresAt <= now; });
  std::erase_if(preparationApprovals_, [now](const auto& entry) { return entry.second.expiresAt <= now; });
}

std::size_t InterruptedInstallerEngine::approvedPreparationEntries() const {
  std::set<const PreparationTreeSnapshot*> counted;
  std::size_t entries = 0;
  for (const auto& [id, approval] : preparationApprovals_) {
    if (counted.insert(approval.snapshot.get()).second) entries += approval.snapshot->entries.size();
  }
  return entries;
}

bool InterruptedInstallerEngine::pruneToLimit(double now) {
  const auto overLimit = [&] {
    return approvals_.size() + preparationApprovals_.size() > kMaxApprovals ||
           approvedPreparationEntries() > kMaxApprovedPreparationEntries;
  };
  if (!overLimit()) return false;
  pruneExpired(now);
  bool dropped = false;
  while (overLimit()) {
    const auto soonest = [](const auto& a, const auto& b) { return a.second.expiresAt < b.second.expiresAt; };
    const auto download = std::min_element(approvals_.begin(), approvals_.end(), soonest);
    const auto workspace = std::min_element(preparationApprovals_.begin(), preparationApprovals_.end(), soonest);
    // Over the entry bound only preparation approvals can help.
    const bool entriesOver = approvedPreparationEntries() > kMaxApprovedPreparationEntries;
    if (workspace != preparationApprovals_.end() &&
        (entriesOver || download == approvals_.end() || workspace->second.expiresAt < download->second.expiresAt)) {
      preparationApprovals_.erase(workspace);
    } else {
      approvals_.erase(download);
    }
    dropped = true;
  }
  return dropped;
}

void InterruptedInstallerEngine::addPreparationApproval(PreparationApproval approval) {
  for (const auto& [id, earlier] : preparationApprovals_) {
    if (earlier.item.path == approval.item.path && earlier.snapshot != approval.snapshot &&
        *earlier.snapshot == *approval.snapshot) {
      approval.snapshot = earlier.snapshot;
      break;
    }
  }
  const std::string id = approval.item.id;
  preparationApprovals_[id] = std::move(approval);
}

InterruptedInstallerScanResponse InterruptedInstallerEngine::scanInterruptedInstallerDownloads() {
  InterruptedInstallerScanResponse response;
  pruneExpired(platform_.clock.now());

  InstallerDownloadDiscovery discovery =
      discoverInstallerDownloads(platform_, platform_.clock.uptime() + kDiscoverySeconds);
  response.warnings = std::move(discovery.warnings);
  bool checked = discovery.complete;

  std::vector<Candidate> candidates;
  std::set<std::pair<std::uint64_t, std::uint64_t>> seen;  // device and inode
  for (const std::string& path : discovery.files) {
    const std::optional<InstallerDownloadSource> source = classifyDownloadPath(path);
    if (!source) checked = false;
    try {
      if (!source) throw InstallerSafetyError::refused("Outside approved installer-download locations.");
      platform::UniqueFd parent = openDirectoryNoFollow(platform_.root, parentOf(path));
      const InstallerFileIdentity first = inspectDownloadFile(parent.get(), nameOf(path));
      if (!seen.insert({first.device, first.inode}).second) continue;
      candidates.push_back({path, *source, std::move(parent), first});
    } catch (const InstallerSafetyError&) {
      addWarning(response.warnings, "A matching download disappeared or could not be inspected: " + path);
    }
  }

  EvidenceMap openFiles;
  std::optional<InstallerActivityEvidence> processes;
  if (!candidates.empty()) {
    std::vector<std::string> paths;
    for (const Candidate& candidate : candidates) paths.push_back(candidate.path);
    openFiles = openFileEvidence(platform_, paths);
    const bool apple = std::any_of(candidates.begin(), candidates.end(), [](const Candidate& candidate) {
      return candidate.source == InstallerDownloadSource::appleSoftwareUpdate;
    });
    if (apple) processes = installationProcessEvidence(platform_);
    platform_.clock.sleepFor(kActivityObservationSeconds);
  }

  for (const Candidate& candidate : candidates) {
    std::optional<InstallerFileIdentity> second;
    try {
      second = inspectDownloadFile(candidate.parent.get(), nameOf(candidate.path));
    } catch (const InstallerSafetyError&) {
      // Gone or replaced during the observation: judged as changed.
    }
    Verdict verdict = judge(platform_, candidate, second, openFiles, processes);
    if (candidate.path.ends_with("/" + std::string(kCompletePackageName))) {
      verdict.explanation = kCompletePackagePrefix + verdict.explanation;
    }
    InterruptedInstallerDownload item;
    item.id = platform::makeUuidString();
    item.path = candidate.path;
    item.source = candidate.source;
    item.allocatedBytes = candidate.first.allocatedBytes;
    item.logicalBytes = candidate.first.logicalBytes;
    item.modifiedAt = platform::json::Date::fromUnixSeconds(static_cast<double>(candidate.first.modifiedSeconds));
    item.activity = verdict.activity;
    item.explanation = std::move(verdict.explanation);
    if (item.activity == InstallerDownloadActivity::inactive) {
      approvals_[item.id] = {item, candidate.first, platform_.clock.now() + kApprovalLifetimeSeconds};
    }
    response.items.push_back(std::move(item));
  }

  PreparationInventory preparation = inventoryPreparationWorkspaces(platform_);
  for (InterruptedInstallerDownload& item : preparation.items) response.items.push_back(std::move(item));
  for (PreparationApproval& approval : preparation.approvals) addPreparationApproval(std::move(approval));
  for (const std::string& warning : preparation.warnings) addWarning(response.warnings, warning);
  if (!preparation.complete) checked = false;
  if (pruneToLimit(platform_.clock.now())) checked = false;

  std::stable_sort(response.items.begin(), response.items.end(),
                   [](const InterruptedInstallerDownload& a, const InterruptedInstallerDownload& b) {
                     return a.allocatedBytes > b.allocatedBytes;
                   });
  response.protectedLocationsChecked = checked;
  response.checkedAt = platform::json::Date{platform_.clock.now()};
  return response;
}

InterruptedInstallerRemovalResponse InterruptedInstallerEngine::removeInterruptedInstallerDownloads(
    const InterruptedInstallerRemovalRequest& request) {
  InterruptedInstallerRemovalResponse response;
  const auto refuse = [&response](const char* message) {
    response.issues = {message};
    return response;
  };
  if (platform_.processFacts.effectiveUserId() != 0) {
    return refuse("Administrator helper access is required. Nothing was removed.");
  }
  if (request.candidateIDs.empty() || request.candidateIDs.size() > kMaxRemovalCandidates) {
    return refuse("Select between 1 and 50 installer-download files.");
  }
  if (!request.noInstallationInProgressAcknowledged) {
    return refuse("Confirm that no macOS update or installation is in progress.");
  }

  // Step 3: only what this helper approved, and only while the approval lasts.
  const double now = platform_.clock.now();
  std::vector<std::pair<std::string, Approval>> downloads;
  std::vector<PreparationApproval> workspaces;
  std::set<std::string> requested;
  for (const std::string& id : request.candidateIDs) {
    if (!requested.insert(id).second) continue;  // named twice: handled once
    if (auto found = approvals_.find(id); found != approvals_.end()) {
      if (found->second.expiresAt <= now) {
        approvals_.erase(found);
        response.issues.push_back(kDownloadApprovalExpired);
      } else {
        downloads.emplace_back(id, found->second);
      }
    } else if (auto workspace = preparationApprovals_.find(id); workspace != preparationApprovals_.end()) {
      if (workspace->second.expiresAt <= now) {
        preparationApprovals_.erase(workspace);
        response.issues.push_back(kPreparationApprovalExpired);
      } else {
        workspaces.push_back(workspace->second);
      }
    } else {
      response.issues.push_back(kDownloadApprovalExpired);
    }
  }

  // Step 4: leftover workspaces go to preparation cleanup, measured from before it.
  if (!workspaces.empty()) {
    response.freeSpaceBefore = dataVolumeFreeBytes(platform_);
    PreparationRemovalOutcome outcome = removeApprovedPreparationWorkspaces(platform_, workspaces);
    for (const std::string& id : outcome.removedIDs) {
      preparationApprovals_.erase(id);
      response.removedIDs.push_back(id);
    }
    response.removedAllocatedBytes += outcome.removedAllocatedBytes;
    for (std::string& issue : outcome.issues) response.issues.push_back(std::move(issue));
    response.remainingPreparationItems = std::move(outcome.remainingItems);
    for (PreparationApproval& approval : outcome.remainingApprovals) addPreparationApproval(std::move(approval));
    pruneToLimit(platform_.clock.now());
  }

  // Step 5: Apple's partial files stay while a macOS installation may be running.
  const bool appleRequested = std::any_of(downloads.begin(), downloads.end(), [](const auto& entry) {
    return entry.second.item.source == InstallerDownloadSource::appleSoftwareUpdate;
  });
  if (appleRequested) {
    const InstallerActivityEvidence processes = installationProcessEvidence(platform_);
    if (!isClear(processes)) {
      std::erase_if(downloads, [&](const auto& entry) {
        if (entry.second.item.source != InstallerDownloadSource::appleSoftwareUpdate) return false;
        response.issues.push_back(entry.second.item.path + ": " + processes.text());
        return true;
      });
    }
  }

  // Step 6: pin every target (folder descriptors, own download locks held from here on).
  struct Pinned {
    std::string id;
    std::int64_t approvedAllocatedBytes;
    InstallerRemovalTarget target;
  };
  std::vector<Pinned> targets;
  for (const auto& [id, approval] : downloads) {
    try {
      targets.push_back(
          {id, approval.item.allocatedBytes, validateRemovalTarget(platform_, approval.item.path, approval.identity)});
    } catch (const InstallerSafetyError& error) {
      response.issues.push_back(approval.item.path + ": " + error.what());
    }
  }

  // Steps 7-9: nothing open now, and again after 20 s.
  const auto dropBusy = [&](bool withProcesses) {
    if (targets.empty()) return;
    std::vector<std::string> paths;
    bool apple = false;
    for (const Pinned& pinned : targets) {
      const InstallerRemovalTarget& target = pinned.target;
      paths.push_back(target.path);
      apple = apple || target.source == InstallerDownloadSource::appleSoftwareUpdate;
    }
    const EvidenceMap openFiles = openFileEvidence(platform_, paths);
    std::optional<InstallerActivityEvidence> processes;
    if (withProcesses && apple) processes = installationProcessEvidence(platform_);
    std::erase_if(targets, [&](const Pinned& pinned) {
      const InstallerRemovalTarget& target = pinned.target;
      std::optional<std::string> issue = openFileIssue(openFiles, target.path);
      if (!issue && processes && target.source == InstallerDownloadSource::appleSoftwareUpdate &&
          !isClear(*processes)) {
        issue = processes->text();
      }
      if (issue) response.issues.push_back(target.path + ": " + *issue);
      return issue.has_value();
    });
  };
  dropBusy(/*withProcesses=*/false);
  if (!targets.empty()) {
    platform_.clock.sleepFor(kRemovalRecheckSeconds);
    dropBusy(/*withProcesses=*/true);
  }

  // Step 10: remove each one through its pinned folder, then prove it is gone.
  if (!response.freeSpaceBefore) response.freeSpaceBefore = dataVolumeFreeBytes(platform_);
  for (Pinned& pinned : targets) {
    const std::optional<std::string> kept = removePinnedTarget(platform_, pinned.target);
    // This target is finished: its folder and its download lock are let go now.
    pinned.target.directory.reset();
    pinned.target.lock.reset();
    if (kept) {
      response.issues.push_back(pinned.target.path + ": " + *kept);
      continue;
    }
    response.removedIDs.push_back(pinned.id);
    response.removedAllocatedBytes += pinned.approvedAllocatedBytes;
    approvals_.erase(pinned.id);
  }
  response.freeSpaceAfter = dataVolumeFreeBytes(platform_);
  return response;
}

}  // namespace tidewarden::storage
