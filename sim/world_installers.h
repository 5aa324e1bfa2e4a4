// The world section of the simulated installer tools: knobs that make hdiutil misbehave and a pending append.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/json_codec.h"

namespace tidewarden::sim {

// Bytes appended to a file just before the data volume's free space is measured for
// the `afterChecks`-th time from now: a change that lands at a known point of a copy.
struct WorldPendingAppend {
  std::string path;  // logical path of the file
  std::int64_t bytes = 0;
  std::int64_t afterChecks = 1;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("path", &WorldPendingAppend::path),
        platform::json::field("bytes", &WorldPendingAppend::bytes),
        platform::json::field("afterChecks", &WorldPendingAppend::afterChecks),
    };
  }
  friend bool operator==(const WorldPendingAppend&, const WorldPendingAppend&) = default;
};

// How the installers' simulated createinstallmedia behaves. Steps are named as the
// helper names them: "erasing", "essentialFiles", "recoveryFiles", "makingBootable",
// "copyingInstaller".
struct WorldMediaTool {
  std::int64_t durationMilliseconds = 200;  // spread over its steps
  std::optional<std::string> failAtStep;    // prints the step, then an error, exit 1
  std::optional<std::string> hangAtStep;    // prints the step, then never ends by itself
  bool overlongLine = false;                // first prints one line of 9000 characters
  bool skipCopy = false;                    // erases and renames, reports success, copies nothing
  // Before each step after the first, waits until the file media-tool-gate/STEP exists
  // in the world's folder, and before announcing success until media-tool-gate/done does
  // (an explicit hook for a test that follows the steps).
  bool stepGate = false;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("durationMilliseconds", &WorldMediaTool::durationMilliseconds),
        platform::json::field("failAtStep", &WorldMediaTool::failAtStep),
        platform::json::field("hangAtStep", &WorldMediaTool::hangAtStep),
        platform::json::field("overlongLine", &WorldMediaTool::overlongLine),
        platform::json::field("skipCopy", &WorldMediaTool::skipCopy),
        platform::json::field("stepGate", &WorldMediaTool::stepGate),
    };
  }
  friend bool operator==(const WorldMediaTool&, const WorldMediaTool&) = default;
};

struct WorldInstallers {
  // The next `hdiutil info` first detaches every image that `hdiutil attach` attached,
  // as if someone else had detached them.
  bool detachBeforeCheck = false;
  // `hdiutil detach` fails (resource busy) and changes nothing.
  bool detachFails = false;
  std::optional<WorldPendingAppend> pendingAppend;
  // The arguments of every `hdiutil detach` run, in order, whatever its answer.
  std::optional<std::vector<std::vector<std::string>>> detachInvocations;
  std::optional<WorldMediaTool> mediaTool;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("detachBeforeCheck", &WorldInstallers::detachBeforeCheck),
        platform::json::field("detachFails", &WorldInstallers::detachFails),
        platform::json::field("pendingAppend", &WorldInstallers::pendingAppend),
        platform::json::field("detachInvocations", &WorldInstallers::detachInvocations),
        platform::json::field("mediaTool", &WorldInstallers::mediaTool),
    };
  }
  friend bool operator==(const WorldInstallers&, const WorldInstallers&) = default;
};

}  // namespace tidewarden::sim
