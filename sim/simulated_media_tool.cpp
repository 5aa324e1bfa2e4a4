// The simulated createinstallmedia: its output, its faults, the erase that renames the volume and the copy onto it.
#include "sim/simulated_media_tool.h"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "platform/file_io.h"
#include "sim/simulated_disk_formats.h"
#include "sim/simulated_mac.h"
#include "sim/tool_gate.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Bounds of the tool's own waits for the world: a gate file, Disk Arbitration's answers.
constexpr auto kGateBound = 120s;
constexpr auto kMountAnswerBound = 30s;
constexpr std::size_t kOverlongLineCharacters = 9000;

void say(const std::string& text) { platform::writeAll(STDOUT_FILENO, text); }

[[noreturn]] void hang() {
  for (;;) ::pause();
}

}  // namespace

int runSimulatedMediaTool(const std::string& directory, const std::string& bundle,
                          const std::vector<std::string>& arguments) {
  if (arguments.size() != 3 || arguments[0] != "--volume" || arguments[2] != "--nointeraction") {
    say("Usage: createinstallmedia --volume <a path to a volume to use as the installer disk> --nointeraction\n");
    return 1;
  }
  const std::string& volume = arguments[1];
  const auto hostOf = [&](const std::string& logical) {
    return fs::path(directory + "/" + std::string(SimulatedMac::kRootFolder) + logical);
  };
  const WorldRecord world = World::read(directory);
  if (!fs::is_directory(hostOf(volume)) || !worldMountPointTaken(world.disks, volume)) {
    say(volume + " is not a valid volume mount point.\n");
    return 1;
  }
  const WorldMediaTool settings = world.installers.mediaTool.value_or(WorldMediaTool{});
  const auto pause = std::chrono::milliseconds(std::max<std::int64_t>(settings.durationMilliseconds, 0) / 12);
  const std::string installerName = fs::path(bundle).stem().string();

  // Each step: its line, then what it does; a fault stops it right after its line.
  auto step = [&](const std::string& name, const std::string& line, bool first) {
    if (settings.stepGate && !first) {
      const fs::path gate = fs::path(directory) / kMediaToolGateFolder / name;
      awaitUntil([&] { return fs::exists(gate); }, kGateBound);
    }
    say(line);
    if (settings.hangAtStep == name) hang();
    if (settings.failAtStep == name) {
      say("\nAn error occurred while " + name + ". The operation could not be completed.\n");
      return false;
    }
    std::this_thread::sleep_for(pause);
    return true;
  };
  auto percentages = [&] {
    for (const int percent : {10, 40, 70}) {
      say("\r" + std::to_string(percent) + "%...");
      std::this_thread::sleep_for(pause);
    }
    say("\r100%\n");
  };

  if (settings.overlongLine) say(std::string(kOverlongLineCharacters, 'x') + "\n");
  say("Ready to start.\nTo continue we need to erase the volume at " + volume + ".\n");
  if (!step("erasing", "Erasing disk: 0%... ", true)) return 1;
  // Apple's tool erases the volume it was given (whatever an earlier run left goes) as a
  // new volume named after the installer, which macOS mounts again under that name.
  const std::optional<std::string> remounted = eraseAndRenameMountedVolume(directory, volume, installerName);
  if (!remounted) {
    say("\nThe erased volume could not be mounted again. The operation could not be completed.\n");
    return 1;
  }
  const std::string mountedAt = *remounted;
  percentages();
  if (!step("essentialFiles", "Copying essential files...\n", false)) return 1;
  if (!step("recoveryFiles", "Copying the macOS RecoveryOS...\n", false)) return 1;
  if (!step("makingBootable", "Making disk bootable...\n", false)) return 1;
  if (!step("copyingInstaller", "Copying to disk: 0%... ", false)) return 1;
  if (!settings.skipCopy) {
    std::error_code error;
    fs::copy(bundle, hostOf(mountedAt) / fs::path(bundle).filename(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    if (error) {
      say("\nThe copy of the installer failed: " + error.message() + "\n");
      return 1;
    }
  }
  percentages();
  if (settings.stepGate) {
    const fs::path gate = fs::path(directory) / kMediaToolGateFolder / "done";
    awaitUntil([&] { return fs::exists(gate); }, kGateBound);
  }
  awaitUntil([&] { return World::read(directory).disks.mountRequests.empty(); },
             std::chrono::duration_cast<std::chrono::seconds>(kMountAnswerBound));
  say("Install media now available at \"" + mountedAt + "\"\n");
  return 0;
}

}  // namespace tidewarden::sim
