// The `disk` world verbs: add, remove, set, mount, unmount, and the erase settings.
#include "sim/world_disk_verbs.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/unique_fd.h"
#include "sim/simulated_diskutil.h"
#include "sim/simulated_mac.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

using Usage = WorldVerbUsageError;

// True while a simulator serves this directory (it holds the serve lock).
bool simulatorServing(const std::string& directory) {
  const std::string path = directory + "/" + std::string(SimulatedMac::kServeLockFile);
  const platform::UniqueFd lock(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!lock) return false;
  return ::flock(lock.get(), LOCK_SH | LOCK_NB) != 0;  // released when `lock` closes
}

void add(const std::string& directory, WorldVerbArguments arguments) {
  const auto options = takeOptions("disk add", arguments, {"--preset"});
  if (!options.contains("--preset")) throw Usage("disk add needs --preset NAME");
  std::string identifier;
  World::update(directory, [&](WorldRecord& world) { identifier = addWorldDiskPreset(world.disks, options.at("--preset")); });
  std::printf("%s\n", identifier.c_str());
}

void remove(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1) throw Usage("disk remove needs one disk identifier");
  std::vector<std::string> unmounted;
  World::update(directory, [&](WorldRecord& world) {
    if (const WorldDisk* disk = world.disks.findDisk(arguments[0])) {
      for (const WorldPartition& part : disk->partitions) {
        const std::string at = part.mountPoint.value_or("");
        if (at.starts_with("/Volumes/") && at.find("/..") == std::string::npos) unmounted.push_back(at);
      }
    }
    removeWorldDisk(world.disks, arguments[0]);
  });
  // macOS removes the mount folders of an unplugged disk's volumes: their names are free again.
  for (const std::string& mountPoint : unmounted) {
    std::error_code ignored;
    std::filesystem::remove_all(directory + "/" + std::string(SimulatedMac::kRootFolder) + mountPoint, ignored);
  }
}

void set(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.empty()) throw Usage("disk set needs a disk or partition identifier");
  std::vector<std::string> settings;
  std::optional<std::int64_t> afterQueries;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--after-queries") {
      const std::string value = i + 1 < arguments.size() ? arguments[++i] : "";
      if (afterQueries || value.empty() || value.size() > 6 || value.find_first_not_of("0123456789") != std::string::npos ||
          std::stoll(value) < 1) {
        throw Usage("--after-queries needs a query count from 1 to 999999, once");
      }
      afterQueries = std::stoll(value);
    } else {
      settings.push_back(arguments[i]);
    }
  }
  if (settings.empty()) throw Usage("disk set needs at least one KEY=VALUE");
  World::update(directory, [&](WorldRecord& world) {
    // Checked now, also when it is applied later.
    WorldDisks trial = world.disks;
    applyWorldDiskSettings(trial, arguments[0], settings);
    if (afterQueries) {
      world.disks.pendingChanges.push_back({arguments[0], settings, *afterQueries});
    } else {
      world.disks = std::move(trial);
    }
  });
}

void mount(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.empty()) throw Usage("disk mount needs a partition or volume identifier");
  const std::string identifier = arguments[0];
  const auto options = takeOptions("disk mount", arguments.subspan(1), {"--at"});
  const bool serving = simulatorServing(directory);
  std::int64_t id = 0;
  World::update(directory, [&](WorldRecord& world) {
    const std::string at = options.contains("--at") ? options.at("--at") : defaultWorldMountPoint(world.disks, identifier);
    WorldDisks trial = world.disks;
    setWorldMountPoint(trial, identifier, at);
    id = world.disks.nextMountRequest++;
    if (serving) {
      // The running simulator's Disk Arbitration asks the helper's approval callback.
      world.disks.mountRequests.push_back({id, identifier, at});
    } else {
      // Nobody runs who could dissent: the mount happens at once.
      world.disks = std::move(trial);
      world.disks.nextMountRequest = id + 1;
      world.disks.mountOutcomes.push_back({id, identifier, true, ""});
    }
  });
  std::printf("%lld\n", static_cast<long long>(id));
}

void unmount(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1) throw Usage("disk unmount needs one partition or volume identifier");
  World::update(directory, [&](WorldRecord& world) { setWorldMountPoint(world.disks, arguments[0], std::nullopt); });
}

void eraseShrink(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1 || arguments[0].empty() || arguments[0].size() > 12 ||
      arguments[0].find_first_not_of("0123456789") != std::string::npos) {
    throw Usage("disk erase-shrink needs a byte count (at most 12 digits)");
  }
  World::update(directory, [&](WorldRecord& world) { world.disks.conversionShrinkBytes = std::stoll(arguments[0]); });
}

void eraseHangs(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1 || (arguments[0] != "on" && arguments[0] != "off" && arguments[0] != "gate")) {
    throw Usage("disk erase-hangs needs on, off or gate");
  }
  World::update(directory, [&](WorldRecord& world) {
    world.disks.eraseHangs = arguments[0] == "on";
    world.disks.eraseGated = arguments[0] == "gate";
  });
}

void holdQuery(const std::string& directory, WorldVerbArguments arguments) {
  if (!arguments.empty()) throw Usage("disk hold-query takes no arguments");
  World::update(directory, [&](WorldRecord& world) {
    world.disks.pendingChanges.push_back({"", {std::string(kHoldQuerySetting)}, 1});
  });
}

}  // namespace

void runDiskVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.empty()) throw Usage("disk needs add, remove, set, mount or unmount");
  const std::string& verb = arguments[0];
  const WorldVerbArguments rest = arguments.subspan(1);
  if (verb == "add") return add(directory, rest);
  if (verb == "remove") return remove(directory, rest);
  if (verb == "set") return set(directory, rest);
  if (verb == "mount") return mount(directory, rest);
  if (verb == "unmount") return unmount(directory, rest);
  if (verb == "erase-shrink") return eraseShrink(directory, rest);
  if (verb == "erase-hangs") return eraseHangs(directory, rest);
  if (verb == "hold-query") return holdQuery(directory, rest);
  throw Usage("unknown disk action " + verb +
              " (known: add, remove, set, mount, unmount, erase-shrink, erase-hangs, hold-query)");
}

}  // namespace tidewarden::sim
