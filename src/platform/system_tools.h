// Every system tool the helper runs, with its arguments and time limit, in one place.
// Callers name an invocation here and never spell a tool's path or arguments themselves.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tidewarden::platform {

// One invocation of a system tool: an absolute executable path and an argument vector
// (never a shell), and the time limit after which the runner stops the child.
// No limit (nullopt) means the child runs until it exits or is cancelled.
struct ToolCommand {
  std::string executable;
  std::vector<std::string> arguments;
  std::optional<double> timeLimitSeconds;
};

// The environment of every child: exactly these two variables, nothing inherited.
inline const std::vector<std::string>& toolEnvironment() {
  static const std::vector<std::string> environment{"PATH=/usr/bin:/bin:/usr/sbin:/sbin", "LC_ALL=C"};
  return environment;
}

}  // namespace tidewarden::platform
