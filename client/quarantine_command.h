// tidewarden-ctl quarantine and restore: a launch daemon into the helper's quarantine and back.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace tidewarden::ctl {

// Sends one call to the helper and returns the reply bytes (throws on transport failure).
using HelperCall = std::function<std::string(std::string_view selector, std::string argument)>;

// A failure of the command itself; `usage` asks for the usage text after the message.
struct CommandFailure {
  bool usage = false;
  std::string message;
};

// quarantine --label L --plist PATH [--json]: 0 when quarantined, 4 when refused.
int runQuarantineCommand(const HelperCall& call, std::span<const std::string> arguments);
// restore ID [--json]: 0 when restored, 4 when refused.
int runRestoreCommand(const HelperCall& call, std::span<const std::string> arguments);

}  // namespace tidewarden::ctl
