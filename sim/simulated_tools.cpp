// The simulated macOS tools' answers from the world, and their installation into the simulated root.
#include "sim/simulated_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "sim/simulated_image_disks.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

using platform::PropertyList;
using platform::UniqueFd;

SimulatedToolAnswer notSimulated(WorldTool tool) {
  return {"", std::string(platform::json::rawValue(tool)) + ": not simulated yet\n", 1};
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// How the Mac's file system sees a path: the Data volume's firmlinked spelling and the
// /var, /tmp and /etc links name the same files as their system-volume spellings. This
// models the file system the tools look at; it is deliberately not the helper's own
// canonical spelling, so that a fault in that one is not mirrored here.
std::string sameFileSpelling(std::string path) {
  constexpr std::string_view kDataVolume = "/System/Volumes/Data";
  if (startsWith(path, std::string(kDataVolume) + "/")) path.erase(0, kDataVolume.size());
  for (std::string_view link : {"/var", "/tmp", "/etc"}) {
    if (path == link || startsWith(path, std::string(link) + "/")) {
      path.insert(0, "/private");
      break;
    }
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool atOrBeneath(const std::string& path, const std::string& directory) {
  if (directory == "/") return startsWith(path, "/");
  return path == directory || startsWith(path, directory + "/");
}

// Field records (-F): per process "p<pid>", then per file "f<descriptor>" and "n<path>";
// processes in ascending pid order, files in world order.
std::string fieldRecords(std::vector<const WorldOpenFile*> files) {
  std::stable_sort(files.begin(), files.end(),
                   [](const WorldOpenFile* a, const WorldOpenFile* b) { return a->pid < b->pid; });
  std::string out;
  std::int64_t current = 0;
  for (const WorldOpenFile* file : files) {
    if (file->pid != current) {
      out += "p" + std::to_string(file->pid) + "\n";
      current = file->pid;
    }
    out += "f" + file->descriptor + "\nn" + file->path + "\n";
  }
  return out;
}

SimulatedToolAnswer lsof(const std::vector<std::string>& arguments, const WorldTools& world) {
  if (arguments.size() < 3 || arguments[0] != "-nP" || arguments[1] != "-Fpn") return notSimulated(WorldTool::lsof);
  std::vector<const WorldOpenFile*> found;
  if (arguments[2] == "+D") {
    if (arguments.size() != 4) return notSimulated(WorldTool::lsof);
    const std::string directory = sameFileSpelling(arguments[3]);
    for (const WorldOpenFile& file : world.openFiles) {
      if (atOrBeneath(sameFileSpelling(file.path), directory)) found.push_back(&file);
    }
    return {fieldRecords(found), "", found.empty() ? 1 : 0};
  }
  // Named files: lsof exits 1 when any of them is not open, also when others are.
  bool everyOneOpen = true;
  for (std::size_t i = 2; i < arguments.size(); ++i) {
    const std::string wanted = sameFileSpelling(arguments[i]);
    bool open = false;
    for (const WorldOpenFile& file : world.openFiles) {
      if (sameFileSpelling(file.path) != wanted) continue;
      open = true;
      if (std::find(found.begin(), found.end(), &file) == found.end()) found.push_back(&file);
    }
    everyOneOpen = everyOneOpen && open;
  }
  return {fieldRecords(found), "", everyOneOpen ? 0 : 1};
}

std::vector<const WorldRunningProcess*> processesByPid(const WorldTools& world) {
  std::vector<const WorldRunningProcess*> processes;
  for (const WorldRunningProcess& process : world.processes) processes.push_back(&process);
  std::stable_sort(processes.begin(), processes.end(),
                   [](const WorldRunningProcess* a, const WorldRunningProcess* b) { return a->pid < b->pid; });
  return processes;
}

SimulatedToolAnswer ps(const std::vector<std::string>& arguments, const WorldTools& world) {
  const std::vector<std::string> commands{"-axo", "comm="};
  const std::vector<std::string> withArguments{"-axo", "pid=,args="};
  std::string out;
  if (arguments == commands) {
    for (const WorldRunningProcess* process : processesByPid(world)) out += process->command + "\n";
    return {out, "", 0};
  }
  if (arguments == withArguments) {
    for (const WorldRunningProcess* process : processesByPid(world)) {
      char pid[32];
      std::snprintf(pid, sizeof pid, "%5lld ", static_cast<long long>(process->pid));
      out += pid + process->command;
      for (const std::string& argument : process->arguments) out += " " + argument;
      out += "\n";
    }
    return {out, "", 0};
  }
  if (arguments.size() == 4 && arguments[0] == "-p" && arguments[2] == "-o" && arguments[3] == "comm=") {
    for (const WorldRunningProcess* process : processesByPid(world)) {
      if (std::to_string(process->pid) == arguments[1]) return {process->command + "\n", "", 0};
    }
    return {"", "", 1};
  }
  return notSimulated(WorldTool::ps);
}

SimulatedToolAnswer hdiutil(const std::vector<std::string>& arguments, const WorldTools& world) {
  if (arguments != std::vector<std::string>{"info", "-plist"}) return notSimulated(WorldTool::hdiutil);
  PropertyList images = PropertyList::array();
  for (const WorldAttachedImage& image : world.images) {
    PropertyList entities = PropertyList::array();
    for (const WorldImageEntity& entity : image.entities) {
      PropertyList record = PropertyList::dictionary();
      record.set("dev-entry", PropertyList::string(entity.devEntry));
      // As hdiutil labels them: the whole disk carries the partition map, a slice its volume.
      const bool slice = entity.devEntry.find('s', std::string_view("/dev/disk").size()) != std::string::npos;
      record.set("content-hint", PropertyList::string(slice ? "Apple_HFS" : "GUID_partition_scheme"));
      if (entity.mountPoint) record.set("mount-point", PropertyList::string(*entity.mountPoint));
      entities.append(std::move(record));
    }
    PropertyList record = PropertyList::dictionary();
    record.set("image-path", PropertyList::string(image.imagePath));
    record.set("image-encrypted", PropertyList::boolean(image.encrypted));
    record.set("system-image", PropertyList::boolean(image.systemImage));
    record.set("writeable", PropertyList::boolean(image.writable));
    if (image.hdidPid) record.set("hdid-pid", PropertyList::integer(*image.hdidPid));
    if (image.shadowPath) record.set("shadow-path", PropertyList::string(*image.shadowPath));
    record.set("system-entities", std::move(entities));
    images.append(std::move(record));
  }
  PropertyList info = PropertyList::dictionary();
  info.set("framework", PropertyList::string("simulated"));
  info.set("images", std::move(images));
  return {info.toXml(), "", 0};
}

SimulatedToolAnswer launchctl(const std::vector<std::string>& arguments, WorldTools& world) {
  if (arguments.size() != 3 || arguments[0] != "bootout" || arguments[1] != "system") {
    return notSimulated(WorldTool::launchctl);
  }
  world.bootouts.push_back(arguments[2]);
  return {"", "", 0};
}

UniqueFd openToolDirectory(const UniqueFd& root, WorldTool tool, std::string& name) {
  const std::string path(worldToolPath(tool));
  const std::size_t slash = path.rfind('/');
  name = path.substr(slash + 1);
  UniqueFd directory = platform::openBeneath(root, path.substr(0, slash), O_RDONLY | O_DIRECTORY);
  if (!directory) {
    throw WorldError("Cannot open the folder of the simulated " + path + ": " + platform::errnoText(errno));
  }
  return directory;
}

void installOne(const UniqueFd& root, WorldTool tool, const std::string& bytes) {
  std::string name;
  const UniqueFd directory = openToolDirectory(root, tool, name);
  const std::string shown(worldToolPath(tool));
  const std::string pending = "." + name + ".new";
  ::unlinkat(directory.get(), pending.c_str(), 0);  // left by a start that died half-way
  UniqueFd file = platform::openAt(directory.get(), pending, O_WRONLY | O_CREAT | O_EXCL, 0700);
  const auto fail = [&](const char* what) {
    const int err = errno;
    ::unlinkat(directory.get(), pending.c_str(), 0);
    return WorldError(std::string("Cannot ") + what + " the simulated " + shown + ": " + platform::errnoText(err));
  };
  if (!file) throw fail("create");
  if (!platform::writeAll(file.get(), bytes)) throw fail("write");
  if (::geteuid() == 0 && ::fchown(file.get(), 0, 0) != 0) throw fail("give root");
  if (::fchmod(file.get(), 0755) != 0) throw fail("set the mode of");
  file.reset();
  if (::renameat(directory.get(), pending.c_str(), directory.get(), name.c_str()) != 0) throw fail("install");
}

}  // namespace

std::optional<WorldTool> simulatedToolNamed(std::string_view name) {
  return platform::json::enumFromRawValue<WorldTool>(name);
}

SimulatedToolAnswer answerSimulatedTool(WorldTool tool, const std::vector<std::string>& arguments,
                                        WorldTools& world) {
  switch (tool) {
    case WorldTool::lsof: return lsof(arguments, world);
    case WorldTool::ps: return ps(arguments, world);
    case WorldTool::hdiutil: return hdiutil(arguments, world);
    case WorldTool::launchctl: return launchctl(arguments, world);
    case WorldTool::diskutil:
      if (auto answer = answerImageDiskInfo(arguments, world)) return *answer;
      return notSimulated(tool);
    case WorldTool::pkgutil: return notSimulated(tool);
  }
  return notSimulated(tool);
}

std::string_view malformedToolOutput(WorldTool tool) {
  switch (tool) {
    // What the real tools print without the options that ask for records: lines a
    // careless reader skips, or takes for a harmless answer.
    case WorldTool::lsof: return "COMMAND     PID USER   FD   TYPE DEVICE SIZE/OFF NODE NAME\n";
    case WorldTool::ps: return "  PID TTY           TIME CMD\n";
    case WorldTool::hdiutil:
    case WorldTool::diskutil:
    case WorldTool::pkgutil:
      return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>images</key>\n";
    case WorldTool::launchctl: return "not an answer\n";
  }
  return "";
}

void installSimulatedTools(const UniqueFd& root, const std::string& program, const WorldTools& world) {
  const UniqueFd source(::open(program.c_str(), O_RDONLY | O_CLOEXEC));
  std::string bytes;
  // The program is a few megabytes; the bound only stops a wrong path from reading a disk.
  constexpr std::size_t kMaxProgramBytes = 256u * 1024u * 1024u;
  if (!source || !platform::readAll(source.get(), bytes, kMaxProgramBytes)) {
    throw WorldError("Cannot read the simulated tool program " + program + ": " + platform::errnoText(errno));
  }
  for (const auto& [tool, name] : kWorldToolRawValues) {
    const WorldToolFault* fault = world.faultOf(tool);
    if (fault != nullptr && fault->kind == WorldToolFaultKind::missing) {
      removeSimulatedTool(root, tool);
    } else {
      installOne(root, tool, bytes);
    }
  }
}

void removeSimulatedTool(const UniqueFd& root, WorldTool tool) {
  std::string name;
  const UniqueFd directory = openToolDirectory(root, tool, name);
  if (::unlinkat(directory.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
    throw WorldError("Cannot remove the simulated " + std::string(worldToolPath(tool)) + ": " +
                     platform::errnoText(errno));
  }
}

std::string simulatedToolProgramBesideSelf() {
  char self[4096];
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) throw WorldError("Cannot find the simulator's own executable: " + platform::errnoText(errno));
  std::string path(self, static_cast<std::size_t>(length));
  return path.substr(0, path.rfind('/') + 1) + std::string(kSimulatedToolProgramName);
}

}  // namespace tidewarden::sim
