// The simulated Mac: a world directory and the platform bundle the real helper runs on.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/trust_anchor.h"
#include "platform/unique_fd.h"
#include "sim/world.h"

namespace tidewarden::platform {
class Clock;
class CodeSigning;
class ProcessLauncher;
}  // namespace tidewarden::platform

namespace tidewarden::sim {

class SimulatedClock;
class SimulatedDiskArbitration;
class SimulatedFileFlags;
class SimulatedFreeSpace;
class SimulatedProcessFacts;
class SimulatedProcessSignals;
class SimulatedSmc;
class SimulatedSystemPower;

// Owns one simulated Mac rooted at a directory:
//   DIR/root        the file system the helper sees as "/" (the usual macOS top folders)
//   DIR/anchors     the simulator's own trust anchors ("apple", to sign simulated
//                   installers): NAME.key (private, 0600) and NAME.pub
//   DIR/world.json  the world state, changed under DIR/world.lock (see World)
//   DIR/world.generation  tells readers when world.json may have changed (see World)
//   DIR/serve.lock  held while this object lives: one live simulated Mac per directory
//   DIR/helper.sock the helper's socket once a helper is started on this platform
// and the Platform bundle built on it. The directory must be absent (then created;
// its parent must exist), empty (a fresh world), or hold a finished world (reused as
// it is: the world survives a restart). Anything else is refused with WorldError and
// left untouched, so the simulator never writes into a directory that is not its own.
class SimulatedMac {
 public:
  static constexpr std::string_view kRootFolder = "root";
  static constexpr std::string_view kAnchorsFolder = "anchors";
  static constexpr std::string_view kServeLockFile = "serve.lock";
  static constexpr std::string_view kSocketName = "helper.sock";
  static constexpr std::string_view kAppleAnchorName = "apple";

  // `buildAnchors` are trusted beside the world's own (the simulator passes the
  // build's development anchor). Throws WorldError.
  SimulatedMac(std::string directory, std::vector<platform::TrustAnchor> buildAnchors);
  ~SimulatedMac();
  SimulatedMac(const SimulatedMac&) = delete;
  SimulatedMac& operator=(const SimulatedMac&) = delete;

  platform::Platform& platform() { return *platform_; }
  // The directory as given, without trailing slashes.
  const std::string& directory() const { return directory_; }
  std::string socketPath() const { return directory_ + "/" + std::string(kSocketName); }
  // The world's own anchors (not the build's).
  const std::vector<platform::TrustAnchor>& worldAnchors() const { return worldAnchors_; }

 private:
  std::string directory_;
  platform::UniqueFd serveLock_;
  platform::UniqueFd root_;
  std::vector<platform::TrustAnchor> worldAnchors_;
  std::unique_ptr<platform::Clock> clock_;
  std::unique_ptr<SimulatedClock> macClock_;  // the helper's wall clock: clock_ set ahead by the world
  std::unique_ptr<SimulatedProcessFacts> processFacts_;
  std::unique_ptr<platform::CodeSigning> codeSigning_;
  std::unique_ptr<platform::ProcessLauncher> launcher_;
  std::unique_ptr<SimulatedSmc> smc_;
  std::unique_ptr<SimulatedSystemPower> power_;
  std::unique_ptr<SimulatedFreeSpace> freeSpace_;
  std::unique_ptr<SimulatedProcessSignals> signals_;
  std::unique_ptr<SimulatedDiskArbitration> diskArbitration_;
  std::unique_ptr<SimulatedFileFlags> fileFlags_;
  std::unique_ptr<platform::Platform> platform_;
};

// The macOS top folders of a fresh simulated root, parents before children, with
// their modes (0755, or 01777 for the temporary folders).
struct SimulatedFolder {
  std::string_view path;
  unsigned mode;
};
inline constexpr SimulatedFolder kSimulatedTopFolders[] = {
    {"Applications", 0755},
    {"Library", 0755},
    {"Library/Application Support", 0755},
    {"Library/LaunchDaemons", 0755},
    {"Users", 0755},
    {"Users/Shared", 0755},
    {"private", 0755},
    {"private/var", 0755},
    {"private/var/tmp", 01777},
    {"private/tmp", 01777},
    {"Volumes", 0755},
    {"usr", 0755},
    {"usr/bin", 0755},
    {"usr/sbin", 0755},
    {"bin", 0755},
    {"System", 0755},
    {"System/Volumes", 0755},
    {"System/Volumes/Data", 0755},
};

}  // namespace tidewarden::sim
