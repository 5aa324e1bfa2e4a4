// What every tidewarden-ctl subcommand in its own file shares: the call to the helper and its failure.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tidewarden::ctl {

inline constexpr int kExitFailure = 1;  // a local failure or a malformed reply
inline constexpr int kExitUsage = 2;    // a malformed command line (the usage text follows)

// Sends one call to the helper and returns the reply bytes; the caller's transport
// reports its own failures.
using HelperCall = std::function<std::string(std::string_view selector, std::string argument)>;

// A subcommand's failure: `status` is the exit status (kExitFailure or kExitUsage) and
// `message` what the program prints.
struct CommandFailure {
  int status = kExitFailure;
  std::string message;
};

}  // namespace tidewarden::ctl
