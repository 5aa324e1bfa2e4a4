// The world section the simulated system tools answer from: open files, processes,
// attached images, recorded bootouts and injected tool faults.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::sim {

// One file a process holds open, as lsof reports it: the descriptor is a number or a
// kind such as "cwd", "rtd", "txt" or "mem"; the path is spelled as the tool would
// spell it (for example with the "/System/Volumes/Data" prefix).
struct WorldOpenFile {
  std::int64_t pid = 0;
  std::string descriptor;
  std::string path;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("pid", &WorldOpenFile::pid),
        platform::json::field("descriptor", &WorldOpenFile::descriptor),
        platform::json::field("path", &WorldOpenFile::path),
    };
  }
  friend bool operator==(const WorldOpenFile&, const WorldOpenFile&) = default;
};

// One running process: its command (the executable's path, what ps shows as comm)
// and its arguments after the command.
struct WorldRunningProcess {
  std::int64_t pid = 0;
  std::string command;
  std::vector<std::string> arguments;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("pid", &WorldRunningProcess::pid),
        platform::json::field("command", &WorldRunningProcess::command),
        platform::json::field("arguments", &WorldRunningProcess::arguments),
    };
  }
  friend bool operator==(const WorldRunningProcess&, const WorldRunningProcess&) = default;
};

// One device of an attached image, mounted or not.
struct WorldImageEntity {
  std::string devEntry;
  std::optional<std::string> mountPoint;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("devEntry", &WorldImageEntity::devEntry),
        platform::json::field("mountPoint", &WorldImageEntity::mountPoint),
    };
  }
  friend bool operator==(const WorldImageEntity&, const WorldImageEntity&) = default;
};

struct WorldAttachedImage {
  std::string imagePath;
  std::vector<WorldImageEntity> entities;
  bool writable = false;
  bool systemImage = false;
  bool encrypted = false;
  std::optional<std::string> shadowPath;
  // The process serving the image; hdiutil lists no "hdid-pid" when none is known.
  std::optional<std::int64_t> hdidPid;
  // diskutil info reports its devices as "Physical" rather than "Virtual".
  std::optional<bool> physical;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("imagePath", &WorldAttachedImage::imagePath),
        platform::json::field("entities", &WorldAttachedImage::entities),
        platform::json::field("writable", &WorldAttachedImage::writable),
        platform::json::field("systemImage", &WorldAttachedImage::systemImage),
        platform::json::field("encrypted", &WorldAttachedImage::encrypted),
        platform::json::field("shadowPath", &WorldAttachedImage::shadowPath),
        platform::json::field("hdidPid", &WorldAttachedImage::hdidPid),
        platform::json::field("physical", &WorldAttachedImage::physical),
    };
  }
  friend bool operator==(const WorldAttachedImage&, const WorldAttachedImage&) = default;
};

// The simulated tools, by the name they are installed under.
enum class WorldTool { lsof, ps, hdiutil, diskutil, pkgutil, launchctl };

inline constexpr std::array<std::pair<WorldTool, std::string_view>, 6> kWorldToolRawValues{{
    {WorldTool::lsof, "lsof"},
    {WorldTool::ps, "ps"},
    {WorldTool::hdiutil, "hdiutil"},
    {WorldTool::diskutil, "diskutil"},
    {WorldTool::pkgutil, "pkgutil"},
    {WorldTool::launchctl, "launchctl"},
}};
constexpr const auto& jsonEnumValues(WorldTool) { return kWorldToolRawValues; }

// Where each tool lives in the simulated root (the macOS paths).
std::string_view worldToolPath(WorldTool tool);

// How a faulty tool misbehaves instead of (or besides) answering:
//   hang       never ends by itself (until it is stopped);
//   flood      its answer followed by 3 MiB of empty lines on standard output;
//   exit       its answer, then exit with `status`;
//   malformed  prints `text` (or, by default, what the real tool prints in another
//              form: lines that are not the records its reader expects) instead of
//              its answer, exit 0;
//   missing    not installed: its file is removed from the simulated root;
//   signal     killed by signal `status` before it prints anything (no core file).
enum class WorldToolFaultKind { hang, flood, exit, malformed, missing, signal };

inline constexpr std::array<std::pair<WorldToolFaultKind, std::string_view>, 6> kWorldToolFaultKindRawValues{{
    {WorldToolFaultKind::hang, "hang"},
    {WorldToolFaultKind::flood, "flood"},
    {WorldToolFaultKind::exit, "exit"},
    {WorldToolFaultKind::malformed, "malformed"},
    {WorldToolFaultKind::missing, "missing"},
    {WorldToolFaultKind::signal, "signal"},
}};

// Whether signal `number` ends a process that keeps its default disposition (the
// numbers a "signal" fault accepts).
bool isTerminatingSignal(std::int64_t number);
constexpr const auto& jsonEnumValues(WorldToolFaultKind) { return kWorldToolFaultKindRawValues; }

struct WorldToolFault {
  WorldTool tool = WorldTool::lsof;
  WorldToolFaultKind kind = WorldToolFaultKind::hang;
  std::optional<std::int64_t> status;
  std::optional<std::string> text;
  // Only invocations whose first argument is this word misbehave ("detach").
  std::optional<std::string> only;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("tool", &WorldToolFault::tool),
        platform::json::field("only", &WorldToolFault::only),
        platform::json::field("kind", &WorldToolFault::kind),
        platform::json::field("status", &WorldToolFault::status),
        platform::json::field("text", &WorldToolFault::text),
    };
  }
  friend bool operator==(const WorldToolFault&, const WorldToolFault&) = default;
};

struct WorldTools {
  std::vector<WorldOpenFile> openFiles;
  std::vector<WorldRunningProcess> processes;
  std::vector<WorldAttachedImage> images;
  // Property-list paths that `launchctl bootout system PATH` was asked to unload, in order.
  std::vector<std::string> bootouts;
  // At most one fault per tool.
  std::vector<WorldToolFault> faults;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("openFiles", &WorldTools::openFiles),
        platform::json::field("processes", &WorldTools::processes),
        platform::json::field("images", &WorldTools::images),
        platform::json::field("bootouts", &WorldTools::bootouts),
        platform::json::field("faults", &WorldTools::faults),
    };
  }
  friend bool operator==(const WorldTools&, const WorldTools&) = default;

  const WorldToolFault* faultOf(WorldTool tool) const;
};

// What a new simulated Mac runs: a few system processes, nothing open, nothing attached.
WorldTools freshWorldTools();

// Range checks of the section beyond its JSON types; throws WorldError naming the
// offending value ("tools.openFiles[0].pid").
void checkWorldTools(const WorldTools& tools);

}  // namespace tidewarden::sim
