// The simulated Mac: lays out or reopens a world directory and builds the platform bundle on it.
#include "sim/simulated_mac.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/file_io.h"
#include "platform/process_launcher.h"
#include "platform/tool_groups.h"
#include "sim/simulated_clock.h"
#include "sim/simulated_disk_arbitration.h"
#include "sim/simulated_file_flags.h"
#include "sim/simulated_free_space.h"
#include "sim/simulated_models.h"
#include "sim/simulated_process_facts.h"
#include "sim/simulated_process_signals.h"
#include "sim/simulated_smc.h"
#include "sim/simulated_system_power.h"
#include "sim/world_anchors.h"

namespace tidewarden::sim {
namespace {

using platform::UniqueFd;

std::string withoutTrailingSlashes(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

// Opens the directory, creating it (its last component only) when it is absent.
UniqueFd openOrMakeDirectory(const std::string& directory) {
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    throw WorldError("Cannot create the simulator directory " + directory + ": " + platform::errnoText(errno));
  }
  UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw WorldError("Cannot open the simulator directory " + directory + ": " + platform::errnoText(errno));
  return fd;
}

WorldError notAWorld(const std::string& directory) {
  return WorldError(directory + " is not empty and holds no simulated Mac (no " + std::string(World::kStateFile) +
                    "). Choose an empty or new directory; nothing was changed.");
}

// True when the directory has no entry other than `allowed` (when given).
bool isEmptyDirectory(const UniqueFd& dir, const std::string& directory, const std::string& allowed) {
  // A new open file description: reading it does not move the caller's position.
  const int copy = platform::openAt(dir.get(), ".", O_RDONLY | O_DIRECTORY).release();
  if (copy < 0) throw WorldError("Cannot list " + directory + ": " + platform::errnoText(errno));
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    const int err = errno;
    ::close(copy);
    throw WorldError("Cannot list " + directory + ": " + platform::errnoText(err));
  }
  bool empty = true;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && name != allowed) {
      empty = false;
      break;
    }
  }
  ::closedir(stream);
  return empty;
}

// Makes one folder of the simulated root with exactly `mode` (the umask does not
// apply) and, when we run as root, owned by root (a set-group-id parent could
// otherwise hand down its group).
void makeFolder(const UniqueFd& parent, const std::string& name, unsigned mode, const std::string& shownPath) {
  if (::mkdirat(parent.get(), name.c_str(), 0700) != 0) {
    throw WorldError("Cannot create " + shownPath + ": " + platform::errnoText(errno));
  }
  const UniqueFd fd = platform::openAt(parent.get(), name, O_RDONLY | O_DIRECTORY);
  if (!fd) throw WorldError("Cannot open " + shownPath + ": " + platform::errnoText(errno));
  if (::geteuid() == 0 && ::fchown(fd.get(), 0, 0) != 0) {
    throw WorldError("Cannot give " + shownPath + " to root: " + platform::errnoText(errno));
  }
  if (::fchmod(fd.get(), mode) != 0) throw WorldError("Cannot set the mode of " + shownPath + ": " + platform::errnoText(errno));
}

UniqueFd openFolder(const UniqueFd& parent, const std::string& name, const std::string& shownPath) {
  UniqueFd fd = platform::openAt(parent.get(), name, O_RDONLY | O_DIRECTORY);
  if (!fd) throw WorldError("Cannot open " + shownPath + ": " + platform::errnoText(errno));
  return fd;
}

void layOutRoot(const UniqueFd& dir, const std::string& directory) {
  const std::string rootName(SimulatedMac::kRootFolder);
  const std::string rootPath = directory + "/" + rootName;
  makeFolder(dir, rootName, 0755, rootPath);
  const UniqueFd root = openFolder(dir, rootName, rootPath);
  for (const SimulatedFolder& folder : kSimulatedTopFolders) {
    const std::string path(folder.path);
    const std::size_t slash = path.rfind('/');
    const std::string parentPath = slash == std::string::npos ? std::string() : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string shown = rootPath + "/" + path;
    if (parentPath.empty()) {
      makeFolder(root, name, folder.mode, shown);
      continue;
    }
    const UniqueFd parent = platform::openBeneath(root, "/" + parentPath, O_RDONLY | O_DIRECTORY);
    if (!parent) throw WorldError("Cannot open " + rootPath + "/" + parentPath + ": " + platform::errnoText(errno));
    makeFolder(parent, name, folder.mode, shown);
  }
}

// Builds a fresh world in an empty directory. The state file is written last, so a
// directory is a world only once everything else is in place; a creation that fails
// half-way leaves a directory that the next start refuses rather than half-trusts.
void createWorld(const UniqueFd& dir, const std::string& directory, double now) {
  layOutRoot(dir, directory);
  createWorldAnchors(dir, directory, {std::string(SimulatedMac::kAppleAnchorName)});
  World::create(directory, freshWorldRecord(now));
}

}  // namespace

SimulatedMac::SimulatedMac(std::string directory, std::vector<platform::TrustAnchor> buildAnchors)
    : directory_(withoutTrailingSlashes(std::move(directory))) {
  if (directory_.empty()) throw WorldError("The simulator directory must not be empty.");
  const UniqueFd dir = openOrMakeDirectory(directory_);

  const std::string lockName(kServeLockFile);
  if (!World::exists(directory_) && !isEmptyDirectory(dir, directory_, {})) throw notAWorld(directory_);

  serveLock_ = platform::openAt(dir.get(), lockName, O_RDWR | O_CREAT, 0600);
  if (!serveLock_) throw WorldError("Cannot open " + directory_ + "/" + lockName + ": " + platform::errnoText(errno));
  if (::flock(serveLock_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) throw WorldError("Another simulator is already running on " + directory_ + ".");
    throw WorldError("Cannot lock " + directory_ + "/" + lockName + ": " + platform::errnoText(errno));
  }
  // Checked again under the lock: a simulator that started at the same moment may
  // have made the world, or something else may have appeared meanwhile.
  clock_ = platform::makeSystemClock();
  if (!World::exists(directory_)) {
    if (!isEmptyDirectory(dir, directory_, lockName)) throw notAWorld(directory_);
    createWorld(dir, directory_, clock_->now());
  }

  const WorldRecord world = World::read(directory_);
  const std::string rootPath = directory_ + "/" + std::string(kRootFolder);
  root_ = openFolder(dir, std::string(kRootFolder), rootPath);
  worldAnchors_ = readWorldAnchors(dir, directory_, {std::string(kAppleAnchorName)});

  std::vector<platform::TrustAnchor> anchors = std::move(buildAnchors);
  anchors.insert(anchors.end(), worldAnchors_.begin(), worldAnchors_.end());
  macClock_ = std::make_unique<SimulatedClock>(directory_, *clock_);
  processFacts_ = std::make_unique<SimulatedProcessFacts>(directory_, world.process);
  codeSigning_ = std::make_unique<platform::CodeSigning>(platform::CodeSigningOptions{std::move(anchors), &root_});
  launcher_ = platform::makeProcessLauncher(root_, std::make_shared<platform::ToolGroups>(root_));
  smc_ = std::make_unique<SimulatedSmc>(directory_, *clock_);
  power_ = std::make_unique<SimulatedSystemPower>(directory_);
  freeSpace_ = std::make_unique<SimulatedFreeSpace>(directory_, root_);
  signals_ = std::make_unique<SimulatedProcessSignals>(directory_);
  diskArbitration_ = std::make_unique<SimulatedDiskArbitration>(directory_);
  fileFlags_ = std::make_unique<SimulatedFileFlags>(directory_);
  platform_ = std::make_unique<platform::Platform>(
      platform::Platform{root_, *macClock_, *processFacts_, *codeSigning_, *launcher_, *smc_, *power_, *freeSpace_,
                         *signals_, *diskArbitration_, *fileFlags_});
}

SimulatedMac::~SimulatedMac() = default;

}  // namespace tidewarden::sim
