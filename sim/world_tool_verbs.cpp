// The world verbs for open files, processes, attached images and tool faults.
#include "sim/world_tool_verbs.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <optional>

#include "platform/file_io.h"
#include "platform/unique_fd.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_tools.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

using Usage = WorldVerbUsageError;

std::int64_t parseNumber(const std::string& what, const std::string& text, std::int64_t minimum,
                         std::int64_t maximum) {
  const std::string expected = what + " needs a number from " + std::to_string(minimum) + " to " +
                               std::to_string(maximum);
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw Usage(expected);
  }
  const std::int64_t value = std::stoll(text);
  if (value < minimum || value > maximum) throw Usage(expected);
  return value;
}

std::int64_t parsePid(const std::string& what, const std::string& text) { return parseNumber(what, text, 1, 99999); }

std::string absolutePath(const std::string& what, const std::string& text) {
  if (text.empty() || text[0] != '/' || text.find('\n') != std::string::npos) {
    throw Usage(what + " needs an absolute macOS path (for example /Users/Shared/x)");
  }
  return text;
}

WorldTool parseTool(const std::string& text) {
  const std::optional<WorldTool> tool = simulatedToolNamed(text);
  if (!tool) throw Usage("unknown tool " + text + " (known: lsof, ps, hdiutil, diskutil, pkgutil, launchctl)");
  return *tool;
}

platform::UniqueFd openRoot(const std::string& directory) {
  const std::string path = directory + "/" + std::string(SimulatedMac::kRootFolder);
  platform::UniqueFd root(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) throw WorldError("Cannot open " + path + ": " + platform::errnoText(errno));
  return root;
}

}  // namespace

void addOpenFileVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 3) throw Usage("open-file needs PID DESCRIPTOR PATH");
  WorldOpenFile file{parsePid("open-file", arguments[0]), arguments[1], absolutePath("open-file", arguments[2])};
  if (file.descriptor.empty() || file.descriptor.find_first_of(" \t\n") != std::string::npos) {
    throw Usage("open-file needs a descriptor such as 3, cwd, txt or mem");
  }
  World::update(directory, [&](WorldRecord& world) { world.tools.openFiles.push_back(file); });
}

void closeFilesVerb(const std::string& directory, WorldVerbArguments arguments) {
  std::optional<std::int64_t> pid;
  std::optional<std::string> path;
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    if (i + 1 == arguments.size()) throw Usage(arguments[i] + " needs a value");
    if (arguments[i] == "--pid" && !pid) {
      pid = parsePid("--pid", arguments[i + 1]);
    } else if (arguments[i] == "--path" && !path) {
      path = absolutePath("--path", arguments[i + 1]);
    } else {
      throw Usage("close-files takes --pid N and --path PATH, each at most once");
    }
  }
  World::update(directory, [&](WorldRecord& world) {
    std::erase_if(world.tools.openFiles, [&](const WorldOpenFile& file) {
      return (!pid || file.pid == *pid) && (!path || file.path == *path);
    });
  });
}

void startProcessVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() < 2) throw Usage("start-process needs PID COMMAND [ARGUMENT...]");
  WorldRunningProcess process{parsePid("start-process", arguments[0]), arguments[1],
                              std::vector<std::string>(arguments.begin() + 2, arguments.end())};
  if (process.command.empty() || process.command.find('\n') != std::string::npos) {
    throw Usage("start-process needs a command on one line");
  }
  World::update(directory, [&](WorldRecord& world) {
    std::erase_if(world.tools.processes, [&](const WorldRunningProcess& p) { return p.pid == process.pid; });
    world.tools.processes.push_back(process);
  });
}

void endProcessVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1) throw Usage("end-process needs one PID");
  const std::int64_t pid = parsePid("end-process", arguments[0]);
  World::update(directory, [&](WorldRecord& world) {
    std::erase_if(world.tools.processes, [&](const WorldRunningProcess& p) { return p.pid == pid; });
    std::erase_if(world.tools.openFiles, [&](const WorldOpenFile& file) { return file.pid == pid; });
  });
}

void attachImageVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.empty()) throw Usage("attach-image needs the image's path");
  WorldAttachedImage image;
  image.imagePath = absolutePath("attach-image", arguments[0]);
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 == arguments.size()) throw Usage(option + " needs a value");
      return arguments[++i];
    };
    if (option == "--writable") {
      image.writable = true;
    } else if (option == "--encrypted") {
      image.encrypted = true;
    } else if (option == "--system-image") {
      image.systemImage = true;
    } else if (option == "--shadow") {
      image.shadowPath = absolutePath("--shadow", value());
    } else if (option == "--hdid-pid") {
      image.hdidPid = parsePid("--hdid-pid", value());
    } else if (option == "--entity") {
      const std::string& entity = value();
      const std::size_t equals = entity.find('=');
      WorldImageEntity record{entity.substr(0, equals), std::nullopt};
      if (record.devEntry.rfind("/dev/", 0) != 0 || record.devEntry.size() == 5) {
        throw Usage("--entity needs DEV[=MOUNT] with DEV under /dev/ (for example /dev/disk5s1=/Volumes/X)");
      }
      if (equals != std::string::npos) record.mountPoint = absolutePath("--entity", entity.substr(equals + 1));
      image.entities.push_back(std::move(record));
    } else {
      throw Usage("unknown option " + option + " for attach-image");
    }
  }
  World::update(directory, [&](WorldRecord& world) { world.tools.images.push_back(image); });
}

void detachImageVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() != 1) throw Usage("detach-image needs the image's path or one of its devices");
  const std::string& name = arguments[0];
  World::update(directory, [&](WorldRecord& world) {
    const auto before = world.tools.images.size();
    std::erase_if(world.tools.images, [&](const WorldAttachedImage& image) {
      return image.imagePath == name || std::any_of(image.entities.begin(), image.entities.end(),
                                                    [&](const WorldImageEntity& e) { return e.devEntry == name; });
    });
    if (world.tools.images.size() == before) {
      throw WorldError("No attached image is " + name + "; nothing was changed.");
    }
  });
}

void toolFaultVerb(const std::string& directory, WorldVerbArguments arguments) {
  const std::string synopsis = "tool-fault needs TOOL hang|flood|missing|exit STATUS|malformed [TEXT]|signal N";
  if (arguments.size() < 2) throw Usage(synopsis);
  WorldToolFault fault{parseTool(arguments[0])};
  const std::optional<WorldToolFaultKind> kind = platform::json::enumFromRawValue<WorldToolFaultKind>(arguments[1]);
  if (!kind) throw Usage(synopsis);
  fault.kind = *kind;
  const std::size_t extra = arguments.size() - 2;
  if (fault.kind == WorldToolFaultKind::exit) {
    if (extra != 1) throw Usage("tool-fault TOOL exit needs one exit status");
    fault.status = parseNumber("exit", arguments[2], 0, 255);
  } else if (fault.kind == WorldToolFaultKind::signal) {
    if (extra != 1) throw Usage("tool-fault TOOL signal needs one signal number");
    fault.status = parseNumber("signal", arguments[2], 1, 31);
    if (!isTerminatingSignal(*fault.status)) throw Usage("signal " + arguments[2] + " does not end a process");
  } else if (fault.kind == WorldToolFaultKind::malformed) {
    if (extra > 1) throw Usage("tool-fault TOOL malformed takes at most one TEXT");
    if (extra == 1) fault.text = arguments[2];
  } else if (extra != 0) {
    throw Usage("tool-fault TOOL " + arguments[1] + " takes nothing more");
  }
  const platform::UniqueFd root = openRoot(directory);
  World::update(directory, [&](WorldRecord& world) {
    std::erase_if(world.tools.faults, [&](const WorldToolFault& f) { return f.tool == fault.tool; });
    world.tools.faults.push_back(fault);
    if (fault.kind == WorldToolFaultKind::missing) removeSimulatedTool(root, fault.tool);
  });
}

void clearToolFaultsVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.size() > 1) throw Usage("clear-tool-faults takes at most one TOOL");
  const std::optional<WorldTool> only = arguments.empty() ? std::nullopt : std::optional(parseTool(arguments[0]));
  const platform::UniqueFd root = openRoot(directory);
  World::update(directory, [&](WorldRecord& world) {
    const bool reinstall = std::any_of(world.tools.faults.begin(), world.tools.faults.end(), [&](const WorldToolFault& f) {
      return (!only || f.tool == *only) && f.kind == WorldToolFaultKind::missing;
    });
    std::erase_if(world.tools.faults, [&](const WorldToolFault& f) { return !only || f.tool == *only; });
    // Tools that were missing come back from the program beside this simulator.
    if (reinstall) installSimulatedTools(root, simulatedToolProgramBesideSelf(), world.tools);
  });
}

}  // namespace tidewarden::sim
