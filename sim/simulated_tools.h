// The simulated macOS tools: what lsof, ps, hdiutil and launchctl answer from the world,
// and their installation into the simulated root as one multi-call program.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "sim/world_tools.h"

namespace tidewarden::sim {

// What one run of a simulated tool prints and how it exits.
struct SimulatedToolAnswer {
  std::string standardOutput;
  std::string standardError;
  int status = 0;
};

// The tool installed under `name` ("lsof", "ps", ...), if it is one.
std::optional<WorldTool> simulatedToolNamed(std::string_view name);

// Answers `arguments` (argv[1..]) as `tool` would on the Mac the world describes:
//   lsof -nP -Fpn PATH...    field records of the open files of those paths; exit 0 when
//                            every path is open, else 1 (with the records of those that are)
//   lsof -nP -Fpn +D DIR     field records of open files at or beneath DIR; exit 1 and
//                            nothing printed when there are none
//   ps -axo comm= | -p PID -o comm= | -axo pid=,args=
//   hdiutil info -plist      the attached images as an XML property list
//   launchctl bootout system PATH   appends PATH to `world.bootouts`, exit 0
// Paths are compared as the Mac's file system would see them: the Data volume's
// "/System/Volumes/Data/..." and "/var/...", "/tmp/..." spellings name the same files
// as "/...", "/private/var/...", "/private/tmp/...". Anything else prints
// "<tool>: not simulated yet" on standard error and exits 1. Faults are not applied here.
// diskutil, which answers from the world's disks, is answerSimulatedDiskutil
// (sim/simulated_diskutil.h).
SimulatedToolAnswer answerSimulatedTool(WorldTool tool, const std::vector<std::string>& arguments,
                                        WorldTools& world);

// The text a tool prints for the "malformed" fault when the fault names none: for
// lsof and ps the header line the real tool prints in its table form, which no
// record reader accepts.
std::string_view malformedToolOutput(WorldTool tool);

// Bytes of empty lines the "flood" fault adds after the answer: more than the helper's
// 2 MiB capture limit.
inline constexpr std::size_t kSimulatedToolFloodBytes = 3u * 1024u * 1024u;

// Copies the multi-call program at `program` into the simulated root (`root` stands
// for "/") as every tool, a root-owned 0755 regular file each (replaced atomically;
// never a link, which the launcher would refuse), and removes the tools whose world
// fault is "missing". Throws WorldError naming the file that could not be written.
void installSimulatedTools(const platform::UniqueFd& root, const std::string& program, const WorldTools& world);
// Removes one tool from the simulated root (absent already is fine). Throws WorldError.
void removeSimulatedTool(const platform::UniqueFd& root, WorldTool tool);

// The multi-call program shipped beside the running simulator executable.
std::string simulatedToolProgramBesideSelf();
inline constexpr std::string_view kSimulatedToolProgramName = "tidewarden-sim-tool";

}  // namespace tidewarden::sim
