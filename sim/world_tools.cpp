// The tools section of the world: tool paths and the range checks of its records.
#include "sim/world_tools.h"

#include <signal.h>

#include "sim/world.h"

namespace tidewarden::sim {
namespace {

void require(bool holds, const std::string& path, const std::string& what) {
  if (!holds) throw WorldError("The world value \"" + path + "\" " + what);
}

bool isAbsolute(const std::string& path) { return !path.empty() && path[0] == '/' && path.find('\0') == std::string::npos; }

constexpr std::int64_t kMaxPid = 99999;

}  // namespace

std::string_view worldToolPath(WorldTool tool) {
  switch (tool) {
    case WorldTool::lsof: return "/usr/sbin/lsof";
    case WorldTool::ps: return "/bin/ps";
    case WorldTool::hdiutil: return "/usr/bin/hdiutil";
    case WorldTool::diskutil: return "/usr/sbin/diskutil";
    case WorldTool::pkgutil: return "/usr/sbin/pkgutil";
    case WorldTool::launchctl: return "/bin/launchctl";
  }
  return "";
}

WorldTools freshWorldTools() {
  WorldTools tools;
  tools.processes = {
      {1, "/sbin/launchd", {}},
      {88, "/usr/libexec/logd", {}},
      {145, "/usr/sbin/cfprefsd", {"daemon"}},
      {402, "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder", {}},
  };
  return tools;
}

bool isTerminatingSignal(std::int64_t number) {
  if (number < 1 || number > 31) return false;
  for (int kept : {SIGCHLD, SIGCONT, SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGURG, SIGWINCH}) {
    if (number == kept) return false;
  }
  return true;
}

const WorldToolFault* WorldTools::faultOf(WorldTool tool) const {
  for (const WorldToolFault& fault : faults) {
    if (fault.tool == tool) return &fault;
  }
  return nullptr;
}

void checkWorldTools(const WorldTools& tools) {
  for (std::size_t i = 0; i < tools.openFiles.size(); ++i) {
    const std::string path = "tools.openFiles[" + std::to_string(i) + "].";
    const WorldOpenFile& file = tools.openFiles[i];
    require(file.pid >= 1 && file.pid <= kMaxPid, path + "pid", "is out of range (1 to 99999).");
    require(!file.descriptor.empty() && file.descriptor.find_first_of("\n\0", 0, 2) == std::string::npos,
            path + "descriptor", "must be one word.");
    require(isAbsolute(file.path) && file.path.find('\n') == std::string::npos, path + "path",
            "must be an absolute path on one line.");
  }
  for (std::size_t i = 0; i < tools.processes.size(); ++i) {
    const std::string path = "tools.processes[" + std::to_string(i) + "].";
    const WorldRunningProcess& process = tools.processes[i];
    require(process.pid >= 1 && process.pid <= kMaxPid, path + "pid", "is out of range (1 to 99999).");
    require(!process.command.empty() && process.command.find_first_of("\n\0", 0, 2) == std::string::npos,
            path + "command", "must be a command on one line.");
  }
  for (std::size_t i = 0; i < tools.images.size(); ++i) {
    const std::string path = "tools.images[" + std::to_string(i) + "].";
    const WorldAttachedImage& image = tools.images[i];
    require(isAbsolute(image.imagePath), path + "imagePath", "must be an absolute path.");
    require(!image.hdidPid || (*image.hdidPid >= 1 && *image.hdidPid <= kMaxPid), path + "hdidPid",
            "is out of range (1 to 99999).");
    for (std::size_t e = 0; e < image.entities.size(); ++e) {
      const std::string entity = path + "entities[" + std::to_string(e) + "].";
      require(image.entities[e].devEntry.rfind("/dev/", 0) == 0, entity + "devEntry", "must be a /dev/ path.");
      if (image.entities[e].mountPoint) {
        require(isAbsolute(*image.entities[e].mountPoint), entity + "mountPoint", "must be an absolute path.");
      }
    }
  }
  for (std::size_t i = 0; i < tools.faults.size(); ++i) {
    const std::string path = "tools.faults[" + std::to_string(i) + "].";
    const WorldToolFault& fault = tools.faults[i];
    for (std::size_t j = 0; j < i; ++j) {
      require(tools.faults[j].tool != fault.tool, path + "tool", "names a tool that already has a fault.");
    }
    if (fault.kind == WorldToolFaultKind::exit) {
      require(fault.status && *fault.status >= 0 && *fault.status <= 255, path + "status",
              "must be an exit status from 0 to 255.");
    }
    if (fault.kind == WorldToolFaultKind::signal) {
      require(fault.status && isTerminatingSignal(*fault.status), path + "status",
              "must be the number of a signal that ends a process.");
    }
  }
}

}  // namespace tidewarden::sim
