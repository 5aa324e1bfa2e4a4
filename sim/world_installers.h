// The world section of the simulated installer tools: knobs that make hdiutil misbehave and a pending append.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

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

struct WorldInstallers {
  // The next `hdiutil info` first detaches every image that `hdiutil attach` attached,
  // as if someone else had detached them.
  bool detachBeforeCheck = false;
  // `hdiutil detach` fails (resource busy) and changes nothing.
  bool detachFails = false;
  std::optional<WorldPendingAppend> pendingAppend;

  static constexpr auto jsonFields() {
    return std::tuple{
        platform::json::field("detachBeforeCheck", &WorldInstallers::detachBeforeCheck),
        platform::json::field("detachFails", &WorldInstallers::detachFails),
        platform::json::field("pendingAppend", &WorldInstallers::pendingAppend),
    };
  }
  friend bool operator==(const WorldInstallers&, const WorldInstallers&) = default;
};

}  // namespace tidewarden::sim
