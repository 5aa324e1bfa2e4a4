// A tidewarden-sim serve child and the world verbs beside it, for tests over the real socket.
#pragma once

#include <csignal>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_program.h"

namespace tidewarden::testing {

// How long a simulator may take to make a world and start listening (sanitizer builds
// included), and to stop after a signal. Waits end as soon as the event happens.
inline constexpr std::chrono::seconds kSimulatorStartBound{60};
inline constexpr std::chrono::seconds kSimulatorStopBound{30};

// `tidewarden-sim serve --root DIRECTORY`, ready once it printed its listening line.
class ServingSimulator {
 public:
  explicit ServingSimulator(std::string directory);

  bool ready() const { return firstLine_ == "listening on " + socketPath(); }
  const std::optional<std::string>& firstLine() const { return firstLine_; }
  std::string socketPath() const { return directory_ + "/helper.sock"; }
  // Exit code after the signal (128 + N when signal N ended it), nullopt when it did
  // not end within the bound.
  std::optional<int> stop(int signal = SIGTERM) { return program_.stop(signal, kSimulatorStopBound); }

 private:
  std::string directory_;
  RunningProgram program_;
  std::optional<std::string> firstLine_;
};

// `tidewarden-sim world --root DIRECTORY ARGUMENTS...`.
ProgramResult runWorldVerb(const std::string& directory, const std::vector<std::string>& arguments);
// The world as `world show` prints it; a null value when it cannot be shown.
nlohmann::json showWorld(const std::string& directory);
// Shows the world every `interval` until `condition` holds for it or `bound` has passed;
// the first world that satisfies it, or nullopt. Every world shown is handed to
// `observe` first (when given), so a test can check an invariant on each of them.
std::optional<nlohmann::json> awaitWorld(const std::string& directory,
                                         const std::function<bool(const nlohmann::json&)>& condition,
                                         std::chrono::milliseconds bound,
                                         const std::function<void(const nlohmann::json&)>& observe = {},
                                         std::chrono::milliseconds interval = std::chrono::milliseconds(50));

}  // namespace tidewarden::testing
