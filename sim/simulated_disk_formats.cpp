// Disk changes of the simulated tools (formats, mounts, the media tool's erase): world and root /Volumes together.
#include "sim/simulated_disk_formats.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <filesystem>

#include "platform/uuid.h"
#include "sim/simulated_mac.h"
#include "sim/tool_gate.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;

std::string hostPath(const std::string& directory, const std::string& logical) {
  return directory + "/" + std::string(SimulatedMac::kRootFolder) + logical;
}

// The mount point's folder is made fresh: a formatted volume starts empty.
void makeMountFolder(const std::string& directory, const std::string& mountPoint, bool empty) {
  const fs::path folder = hostPath(directory, mountPoint);
  std::error_code ignored;
  if (empty) fs::remove_all(folder, ignored);
  fs::create_directories(folder);
}

void unmountFolder(const std::string& directory, const std::optional<std::string>& mountPoint) {
  if (!mountPoint) return;
  std::error_code ignored;
  fs::remove_all(hostPath(directory, *mountPoint), ignored);
}

void requestSiblingMounts(WorldDisks& disks, const WorldDisk& disk, const std::string& except) {
  for (const WorldPartition& part : disk.partitions) {
    if (part.identifier == except || part.mountPoint || part.filesystem.empty() || part.content == "EFI") continue;
    disks.mountRequests.push_back(
        {disks.nextMountRequest++, part.identifier, defaultWorldMountPoint(disks, part.identifier)});
  }
}

[[noreturn]] void hang() {
  for (;;) ::pause();
}

SimulatedToolAnswer failure(const std::string& text) { return {"", "Error: " + text + "\n", 1}; }

std::string deviceName(const std::string& argument) {
  return argument.rfind("/dev/", 0) == 0 ? argument.substr(5) : std::string();
}

// Where macOS mounts a volume named `name`: /Volumes/NAME, or with " 1", " 2", ... when
// something is mounted there or the path exists at all (a folder left behind counts).
std::optional<std::string> freeMountPoint(const std::string& directory, const WorldDisks& disks,
                                          const std::string& name) {
  constexpr int kSuffixes = 100;
  for (int suffix = 0; suffix < kSuffixes; ++suffix) {
    const std::string candidate = "/Volumes/" + name + (suffix == 0 ? "" : " " + std::to_string(suffix));
    std::error_code ignored;
    if (!worldMountPointTaken(disks, candidate) && !fs::exists(fs::symlink_status(hostPath(directory, candidate), ignored))) {
      return candidate;
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> eraseAndRenameMountedVolume(const std::string& directory, const std::string& mountPoint,
                                                       const std::string& name) {
  std::optional<std::string> remounted;
  World::update(directory, [&](WorldRecord& world) {
    for (WorldDisk& disk : world.disks.disks) {
      for (WorldPartition& part : disk.partitions) {
        if (disk.internal || part.mountPoint != mountPoint) continue;
        unmountFolder(directory, part.mountPoint);
        part.mountPoint.reset();
        part.volumeName = name;
        part.volumeUUID = platform::makeUuidString();
        remounted = freeMountPoint(directory, world.disks, name);
        if (!remounted) return;
        part.mountPoint = remounted;
        makeMountFolder(directory, *remounted, true);
        return;
      }
    }
  });
  return remounted;
}

std::optional<SimulatedToolAnswer> answerDiskutilChange(const std::string& directory,
                                                        const std::vector<std::string>& arguments) {
  const bool eraseDisk = arguments.size() == 5 && arguments[0] == "eraseDisk" && arguments[1] == "JHFS+" &&
                         arguments[3] == "GPT";
  const bool eraseVolume = arguments.size() == 4 && arguments[0] == "eraseVolume" && arguments[1] == "JHFS+";
  const bool mount = arguments.size() == 2 && arguments[0] == "mount";
  if (!eraseDisk && !eraseVolume && !mount) return std::nullopt;
  if (!mount && World::read(directory).disks.eraseHangs.value_or(false)) hang();
  if (World::read(directory).disks.eraseGated.value_or(false)) {
    awaitUntil([&] { return fs::exists(directory + "/" + kEraseGateFile); },
               std::chrono::seconds(kEraseGateBoundSeconds));
  }

  SimulatedToolAnswer answer;
  World::update(directory, [&](WorldRecord& world) {
    WorldDisks& disks = world.disks;
    std::string joined;
    for (const std::string& argument : arguments) joined += (joined.empty() ? "" : " ") + argument;
    disks.queries.push_back(joined);
    if (disks.queries.size() > WorldDisks::kMaxQueries) disks.queries.erase(disks.queries.begin());
    const std::string target = deviceName(arguments.back());
    if (eraseDisk) {
      const std::string& name = arguments[2];
      WorldDisk* disk = disks.findDisk(target);
      if (disk == nullptr || disk->internal) {
        answer = failure("Could not find disk: " + arguments.back());
        return;
      }
      for (const WorldPartition& part : disk->partitions) unmountFolder(directory, part.mountPoint);
      eraseWorldDiskAsGpt(disks, target, name);
      WorldPartition& data = disks.findDisk(target)->partitions.back();
      data.mountPoint = "/Volumes/" + name;
      makeMountFolder(directory, *data.mountPoint, true);
      answer.standardOutput = "Started erase on " + target + "\nUnmounting disk\nCreating the partition map\n"
                              "Waiting for partitions to activate\nFormatting " + data.identifier +
                              " as Mac OS Extended (Journaled) with name " + name + "\nMounting disk\n"
                              "Finished erase on " + target + "\n";
      return;
    }
    auto [disk, part] = disks.findPartition(target);
    if (part == nullptr || disk->internal) {
      answer = failure("Could not find disk: " + arguments.back());
      return;
    }
    if (mount) {
      if (!part->mountPoint) {
        const std::string mountPoint = defaultWorldMountPoint(disks, target);
        setWorldMountPoint(disks, target, mountPoint);
        makeMountFolder(directory, mountPoint, false);
      }
      answer.standardOutput = "Volume " + part->volumeName + " on " + target + " mounted\n";
      return;
    }
    const std::string& name = arguments[2];
    unmountFolder(directory, part->mountPoint);
    part->content = "Apple_HFS";
    part->filesystem = "hfs";
    part->volumeName = name;
    part->volumeUUID = platform::makeUuidString();
    part->size -= disks.conversionShrinkBytes.value_or(0);
    part->mountPoint = "/Volumes/" + name;
    makeMountFolder(directory, *part->mountPoint, true);
    requestSiblingMounts(disks, *disk, target);
    answer.standardOutput = "Started erase on " + target + "\nUnmounting disk\nErasing\nInitialized /dev/r" + target +
                            " as a Mac OS Extended (Journaled) volume\nMounting disk\nFinished erase on " + target +
                            " " + name + "\n";
  });
  return answer;
}

}  // namespace tidewarden::sim
