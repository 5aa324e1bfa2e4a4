// The Rescue Drive creation pipeline: each step revalidated, only the approved format, Apple's tool, then verification.
#include "rescue/rescue_drive_pipeline.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <tuple>

#include "platform/clock.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "platform/process_launcher.h"
#include "platform/regex.h"
#include "platform/system_tools.h"
#include "platform/utf8.h"
#include "platform/uuid.h"
#include "rescue/rescue_command_capture.h"
#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_destination_revalidation.h"
#include "rescue/rescue_destination_verification.h"
#include "rescue/rescue_disk_inventory.h"
#include "rescue/rescue_drive_error.h"
#include "rescue/rescue_sibling_mount_protection.h"
#include "rescue/rescue_source_installer.h"

namespace tidewarden::rescue {
namespace {

constexpr const char* kHfsContent = "Apple_HFS";
// How long mounting an existing HFS partition may take before it is stopped.
constexpr double kMountTimeLimitSeconds = 30;
constexpr std::size_t kMaxCandidatesShown = 8;
// The end of a command's output that a failure message quotes.
constexpr std::size_t kDetailCharacters = 2000;
constexpr const char* kFormatFailed = "The selected destination could not be formatted. No wider erase was attempted.";
constexpr const char* kMountNotVerified =
    "The selected installer volume is not mounted at a verified, non-redirected /Volumes path.";
constexpr const char* kMountRedirected =
    "The mount path now points to a different device or filesystem. No additional write was started.";
constexpr const char* kToolFailed =
    "Apple\u2019s createinstallmedia did not complete successfully. The selected destination may be erased or "
    "incomplete. No broader erase, resize or fallback was attempted.";
constexpr const char* kCopyNotVerified =
    "Apple's tool returned success, but the copied installer application could not be verified on the selected "
    "volume. The drive has not been declared ready.";
constexpr const char* kWholeDiskChanged = "The freshly formatted whole-disk destination changed after creation.";
constexpr const char* kWholeDiskSuccess =
    "Installer created and destination verified. Eject the external device in Finder before unplugging it. Booting "
    "from the installer has not been tested.";
constexpr const char* kPartitionSuccess =
    "Installer created on the selected partition. Other partition identities and extents are unchanged. The volume "
    "remains mounted; eject the external device in Finder before unplugging it. Booting has not been tested.";

// A prepared volume's mount, verified: its path, the open directory, the partition's
// identity as diskutil read it, and the size diskutil reports for the mount point.
struct MountedVolume {
  std::string path;
  platform::UniqueFd directory;
  RescuePartitionIdentity identity;
  std::int64_t size = 0;
};

bool isHfsPersonality(const std::string& personality) {
  std::string lower = personality;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower == "hfs" || lower == "hfs+" || lower == "hfsx" || lower == "jhfs+";
}

std::string detailOf(const RescueCommandOutcome& outcome) {
  if (outcome.timedOut) return "(no answer within its time limit; the command was stopped)";
  std::string text = platform::decodeUtf8Lossy(outcome.output);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  if (text.size() > kDetailCharacters) text = text.substr(text.size() - kDetailCharacters);
  const int status = outcome.waitStatus;
  const std::string exit = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                             : "signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return text.empty() ? "(" + exit + ")" : text + " (" + exit + ")";
}

bool succeeded(const RescueCommandOutcome& outcome) {
  return !outcome.timedOut && WIFEXITED(outcome.waitStatus) && WEXITSTATUS(outcome.waitStatus) == 0;
}

class Pipeline {
 public:
  Pipeline(RescueDriveCoordinator& coordinator, platform::Platform& platform, std::string id,
           const RescueDriveStartRequest& request)
      : coordinator_(coordinator), platform_(platform), id_(std::move(id)), request_(request),
        query_(platformDiskQuery(platform)) {}

  void run() {
    std::string message;
    std::optional<std::string> failure;
    try {
      message = create();
    } catch (const std::exception& error) {
      failure = error.what();
    }
    // On a failure path protection still stands; a success ended it as its last step.
    protection_.reset();
    // The final state in one piece: a cancel accepted up to here ends the operation
    // cancelled, one that comes later finds it finished.
    std::lock_guard guard(coordinator_.lock);
    auto& state = coordinator_.operations.at(id_);
    if (state.cancelRequested) {
      state.phase = RescueDrivePhase::cancelled;
      state.message = kCancelledMessage;
      state.errorMessage = kCancelledError;
    } else if (failure) {
      state.phase = RescueDrivePhase::failed;
      state.message = kCreationStoppedMessage;
      state.errorMessage = *failure;
    } else {
      state.phase = RescueDrivePhase::finished;
      state.progressPercent = 100;
      state.message = message;
      state.success = true;
    }
    state.progressPercent = std::clamp(state.progressPercent, 0, 100);
    state.currentProcess.reset();
    state.liveProgress.commandRunning = false;
    coordinator_.finishLocked(id_);
  }

 private:
  template <class Change>
  void update(Change change) {
    std::lock_guard guard(coordinator_.lock);
    change(coordinator_.operations.at(id_));
  }

  void checkCancel() {
    std::lock_guard guard(coordinator_.lock);
    if (coordinator_.operations.at(id_).cancelRequested) throw RescueDriveError::cancelled();
  }

  void enterStep(const std::string& step) {
    const double now = platform_.clock.now();
    update([&](auto& state) {
      state.liveProgress.step = step;
      state.liveProgress.stepPercent.reset();
      state.liveProgress.stepStartedAt = platform::json::Date{now};
    });
  }

  // Starts a pipeline command unless a cancel came first, decided under the lock the
  // launch happens under; a cancel that arrives while it runs terminates it.
  RescueCommandOutcome command(const std::string& executable, const std::vector<std::string>& arguments,
                               bool destructive, bool parseProgress, std::optional<double> timeLimit = std::nullopt,
                               const platform::ExecutableIdentity* identity = nullptr) {
    RescueCommandHooks hooks;
    hooks.admit = [&] {
      std::unique_lock guard(coordinator_.lock);
      if (coordinator_.operations.at(id_).cancelRequested) throw RescueDriveError::cancelled();
      return guard;
    };
    hooks.started = [&](const std::shared_ptr<platform::ChildProcess>& child) {
      auto& state = coordinator_.operations.at(id_);  // under the lock admit took
      state.currentProcess = child;
      state.interruptibleProcess = true;
      state.liveProgress.commandRunning = true;
      if (destructive) state.destructiveStarted = true;
    };
    hooks.timeLimitSeconds = timeLimit;
    hooks.clock = &platform_.clock;
    hooks.executableIdentity = identity;
    if (parseProgress) {
      hooks.output = [this](std::string_view bytes) {
        const double now = platform_.clock.now();
        update([&](auto& state) {
          for (const std::string& line : state.outputParser.feed(bytes)) {
            applyMediaOutputLine(state.liveProgress, line, now);
          }
        });
      };
    }
    auto clear = [&] {
      update([](auto& state) {
        state.currentProcess.reset();
        state.interruptibleProcess = false;
        state.liveProgress.commandRunning = false;
      });
    };
    try {
      RescueCommandOutcome outcome = runRescueCommand(platform_.launcher, executable, arguments, hooks);
      clear();
      checkCancel();
      return outcome;
    } catch (...) {
      clear();
      throw;
    }
  }

  RescueDestination revalidateNow() { return revalidate(request_, query_, platform_.clock); }

  std::string create() {
    const RescueDestination& reviewed = request_.destination;
    checkCancel();
    const SourceInstaller source = checkSourceInstaller(platform_, request_.installerPath);
    const std::string& installer = source.path;
    const std::int64_t requirement = installerCapacityRequirement(platform_, installer);
    checkCancel();
    RescueDestination fresh = revalidateNow();
    checkCancel();
    if (fresh.size < requirement) {
      throw RescueDriveError::commandFailed(
          "The selected destination has " + std::to_string(fresh.size) +
          " bytes capacity; this installer's conservative requirement is " + std::to_string(requirement) +
          " bytes including filesystem headroom. Nothing was erased. Choose a larger partition or disk; no automatic "
          "resizing is performed.");
    }
    const bool partition = reviewed.scope == RescueDestinationScope::partition;
    if (partition) {
      protection_ = std::make_unique<RescueSiblingMountProtection>(captureSnapshot(reviewed, query_),
                                                                   platform_.diskArbitration);
    }
    checkCancel();

    // The format, or the mount-only step of an existing HFS partition.
    update([](auto& state) {
      state.phase = RescueDrivePhase::erasing;
      state.progressPercent = 8;
    });
    enterStep("formatting");
    const std::string name = "TidewardenRescue-" + platform::makeUuidString();
    static const auto namePattern = platform::Regex::compile("^TidewardenRescue-[A-Fa-f0-9-]{12,36}$");
    static const auto wholePattern = platform::Regex::compile("^disk[0-9]{1,5}$");
    static const auto partitionPattern = platform::Regex::compile("^disk[0-9]{1,5}s[0-9]{1,5}$");
    const std::string target = partition ? reviewed.diskIdentifier : reviewed.parent.identifier;
    const bool targetOk = partition ? partitionPattern->matches(target) : wholePattern->matches(target);
    if (!namePattern->matches(name) || !targetOk) {
      throw RescueDriveError::invalidDisk("Destination or generated working name is not approved.");
    }
    const std::string diskutil(platform::tools::kDiskutil);
    std::string volume;  // the prepared partition
    bool conversionRan = false;
    std::optional<RescuePartitionIdentity> record;
    for (const RescuePartitionIdentity& entry : reviewed.layout) {
      if (entry.identifier == reviewed.diskIdentifier) record = entry;
    }
    if (!partition) {
      setMessage("Erasing the explicitly selected ENTIRE external disk\u2026");
      fresh = revalidateNow();
      confirmFormatScope(fresh, target);
      checkCancel();
      const auto outcome = command(diskutil, {"eraseDisk", "JHFS+", name, "GPT", "/dev/" + target}, true, false);
      if (!succeeded(outcome)) throw RescueDriveError::commandFailed(std::string(kFormatFailed) + "\n" + detailOf(outcome));
      verifyWholeDiskParent();
      volume = resolveWholeDiskVolume(target);
    } else if (record && record->content == kHfsContent && isHfsPersonality(reviewed.filesystem)) {
      setMessage("Using the existing HFS partition; no preliminary format is needed\u2026");
      volume = target;
      if (!fresh.mountPoint) {
        const auto outcome = command(diskutil, {"mount", "/dev/" + target}, false, false, kMountTimeLimitSeconds);
        if (!succeeded(outcome)) {
          throw RescueDriveError::commandFailed(
              "The selected HFS partition could not be mounted. No format was attempted. " + detailOf(outcome));
        }
      }
      const DiskQuery budgeted = budgetedDiskQuery(query_, platform_.clock, kDestinationInspectionBudgetSeconds);
      bool same = false;
      for (const RescueDestination& row : listDestinations(budgeted, platform_.clock.now())) {
        if (inventoryKey(row) == inventoryKey(reviewed)) {
          // A partition that became read-only, encrypted or locked is not written.
          if (row.unavailableReason) throw RescueDriveError::invalidDisk(*row.unavailableReason);
          same = row.mountPoint.has_value() && row.layout == reviewed.layout && row.parent == reviewed.parent;
        }
      }
      if (!same) {
        throw RescueDriveError::commandFailed(
            "The selected HFS partition changed during its mount-only step. No erase or installer copy was started.");
      }
    } else {
      setMessage("Converting ONLY " + reviewed.mediaName + " (" + reviewed.diskIdentifier + ") to Journaled HFS+\u2026");
      fresh = revalidateNow();
      confirmFormatScope(fresh, target);
      checkCancel();
      const auto outcome = command(diskutil, {"eraseVolume", "JHFS+", name, "/dev/" + target}, true, false);
      if (!succeeded(outcome)) throw RescueDriveError::commandFailed(std::string(kFormatFailed) + "\n" + detailOf(outcome));
      conversionRan = true;
      volume = target;
    }
    checkCancel();
    std::int64_t sizeAfter = reviewed.size;
    if (partition) {
      sizeAfter = verifyFormattedPartition(reviewed, protection_->snapshot(), requirement, conversionRan, query_);
    }
    MountedVolume prepared = mountedVolume(volume);
    const std::string& mountPoint = prepared.path;
    if (prepared.size < requirement) {
      throw RescueDriveError::invalidDisk("The prepared partition has " + std::to_string(prepared.size) +
                                          " bytes, below the installer's " + std::to_string(requirement) +
                                          "-byte requirement. No installer copy or enlargement was started.");
    }
    // A descriptor open on the volume would keep macOS from unmounting it for the tool's erase.
    prepared.directory.reset();
    checkCancel();

    // Apple's tool.
    update([&](auto& state) {
      state.phase = RescueDrivePhase::creatingInstaller;
      state.progressPercent = 20;
      state.message = "Creating the installer on " + mountPoint;
    });
    enterStep("startingTool");
    // What runs as root is checked again now, and the launch runs only the file checked.
    const platform::ExecutableIdentity tool = verifyMediaToolForLaunch(platform_, source);
    const auto outcome = command(installer + std::string(platform::tools::kCreateInstallMediaInBundle),
                                 {"--volume", mountPoint, "--nointeraction"}, true, true, std::nullopt, &tool);
    if (!succeeded(outcome)) throw RescueDriveError::commandFailed(std::string(kToolFailed) + "\n" + detailOf(outcome));

    // Verification.
    update([](auto& state) {
      state.phase = RescueDrivePhase::verifying;
      state.progressPercent = 94;
      state.message = "Verifying the created volume and unchanged sibling partition records\u2026";
    });
    enterStep("verifying");
    // Sibling protection stands until verification has ended.
    if (partition) {
      sizeAfter = verifyFormattedPartition(reviewed, protection_->snapshot(), requirement, conversionRan, query_);
      verifyUnchanged(protection_->snapshot(), query_);
    } else {
      verifyWholeDiskParent();
      if (resolveWholeDiskVolume(target) != volume) throw RescueDriveError::invalidDisk(kWholeDiskChanged);
    }
    // Apple's tool erased the volume as a new one named after the installer, which macOS
    // mounted again under that name: the copy is looked for where the same partition is
    // mounted now, never at the path from before the tool ran.
    const MountedVolume created = mountedVolume(volume);
    const auto extent = [](const RescuePartitionIdentity& part) {
      return std::tie(part.partitionUUID, part.offset, part.size);
    };
    if (extent(created.identity) != extent(prepared.identity)) {
      throw RescueDriveError::invalidDisk(partition ? std::string(kVerificationPrefix) + kPartitionIdentityChanged +
                                                          kVerificationSuffix
                                                    : kWholeDiskChanged);
    }
    const std::string app = installer.substr(installer.rfind('/') + 1);
    const platform::UniqueFd copied =
        platform::openBeneath(created.directory, "/" + app + "/Contents/Info.plist", O_RDONLY);
    const auto copiedFacts = copied ? platform::fileFacts(copied.get()) : std::nullopt;
    if (!copiedFacts || !copiedFacts->regular) throw RescueDriveError::commandFailed(kCopyNotVerified);
    if (partition) {
      protection_->finish();
      protection_.reset();
    }

    if (!partition) return kWholeDiskSuccess;
    std::string text = kPartitionSuccess;
    if (conversionRan && sizeAfter < reviewed.size) text += extentDecreasedNote(reviewed.size, sizeAfter);
    return text;
  }

  void setMessage(const std::string& message) {
    update([&](auto& state) { state.message = message; });
  }

  // The physical disk of a whole-disk destination, read again: still the reviewed one
  // (identifier, capacity, media name, registry path, bus) and still a disk the inventory
  // offers (external, physical, writable).
  void verifyWholeDiskParent() {
    const RescueDestination& reviewed = request_.destination;
    std::vector<RescueDestination> rows;
    try {
      rows = listDestinations(query_, platform_.clock.now());
    } catch (const RescueDestinationError& error) {
      throw RescueDriveError::invalidDisk(std::string(kVerificationPrefix) + error.what() + kVerificationSuffix);
    }
    const auto whole = [&](const RescueDestination& row) {
      return row.scope == RescueDestinationScope::wholeDisk && row.diskIdentifier == reviewed.parent.identifier;
    };
    const auto fresh = std::find_if(rows.begin(), rows.end(), whole);
    if (fresh == rows.end() || std::count_if(rows.begin(), rows.end(), whole) != 1 || fresh->unavailableReason ||
        fresh->parent != reviewed.parent) {
      throw RescueDriveError::invalidDisk(std::string(kVerificationPrefix) + "The physical parent identity changed." +
                                          kVerificationSuffix);
    }
  }

  // The one new HFS data partition of a freshly formatted disk. A format that exited 0
  // without formatting leaves the reviewed partitions in place: one whose partition UUID
  // the review saw (or that has none) is not new, so it is never taken for the format's work.
  std::string resolveWholeDiskVolume(const std::string& disk) {
    const auto listed = listedPartitions(query_, disk);
    std::vector<std::string> candidates;
    if (listed) {
      for (const ListedPartition& part : *listed) {
        if (part.content != kHfsContent) continue;
        const std::string uuid = readPartition(query_, part.identifier).identity.partitionUUID;
        const auto& reviewed = request_.destination.layout;
        const bool seen = std::any_of(reviewed.begin(), reviewed.end(),
                                      [&](const RescuePartitionIdentity& entry) { return entry.partitionUUID == uuid; });
        if (!uuid.empty() && !seen) candidates.push_back(part.identifier);
      }
    }
    if (candidates.size() != 1) {
      std::string shown;
      for (std::size_t i = 0; i < candidates.size() && i < kMaxCandidatesShown; ++i) {
        shown += (i == 0 ? "" : ", ") + candidates[i];
      }
      throw RescueDriveError::invalidDisk(
          "The freshly formatted whole-disk destination could not be uniquely resolved. " + shown);
    }
    return candidates.front();
  }

  // Where the partition `volume` is mounted now, as diskutil reports it: a real directory
  // directly at a /Volumes path, opened beneath the root without following any link (so the
  // path is its own resolved form), that diskutil in turn names as this partition with its
  // current volume UUID. The open directory is what the caller looks into.
  MountedVolume mountedVolume(const std::string& volume) {
    const PartitionReading reading = readPartition(query_, volume);
    const std::string mountPoint = reading.mountPoint.value_or("");
    const bool placed = mountPoint.starts_with("/Volumes/") && mountPoint.size() > std::string_view("/Volumes/").size() &&
                        standardizedPath(mountPoint) == mountPoint;
    platform::UniqueFd directory =
        placed ? platform::openBeneath(platform_.root, mountPoint, O_RDONLY | O_DIRECTORY) : platform::UniqueFd();
    if (!directory) throw RescueDriveError::invalidDisk(kMountNotVerified);
    const platform::PropertyList info = query_({"info", "-plist", mountPoint});
    const auto text = [&](const char* key) { return info.root().get(key).asString().value_or(""); };
    if (text("DeviceIdentifier") != volume || text("ParentWholeDisk") != reading.parentWholeDisk ||
        text("MountPoint") != mountPoint || text("VolumeUUID") != reading.identity.volumeUUID) {
      throw RescueDriveError::invalidDisk(kMountRedirected);
    }
    return {mountPoint, std::move(directory), reading.identity, info.root().get("Size").asInteger().value_or(0)};
  }

  RescueDriveCoordinator& coordinator_;
  platform::Platform& platform_;
  const std::string id_;
  const RescueDriveStartRequest request_;
  const DiskQuery query_;
  std::unique_ptr<RescueSiblingMountProtection> protection_;
};

}  // namespace

void runRescueDrivePipeline(RescueDriveCoordinator& coordinator, platform::Platform& platform,
                            const std::string& operationID, const RescueDriveStartRequest& request) {
  Pipeline(coordinator, platform, operationID, request).run();
}

}  // namespace tidewarden::rescue
