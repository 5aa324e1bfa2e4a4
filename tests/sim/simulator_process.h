// A tidewarden-sim serve child for tests: started on a directory, ready once it prints its line.
#pragma once

#include <signal.h>

#include <chrono>
#include <optional>
#include <string>

#include "support/child_program.h"

namespace tidewarden::testing {

// How long a simulator may take to make a world and start listening (sanitizer
// builds included), and to stop after a signal. Waits end as soon as the event happens.
inline constexpr std::chrono::seconds kSimulatorStartBound{60};
inline constexpr std::chrono::seconds kSimulatorStopBound{30};

class SimulatorProcess {
 public:
  explicit SimulatorProcess(const std::string& directory)
      : directory_(directory), program_({TIDEWARDEN_SIM_PATH, "serve", "--root", directory}) {
    firstLine_ = program_.readLine(kSimulatorStartBound);
  }

  // The line printed when ready, nullopt when none came (the child failed or hung).
  const std::optional<std::string>& firstLine() const { return firstLine_; }
  bool ready() const { return firstLine_ == "listening on " + socketPath(); }
  std::string socketPath() const { return directory_ + "/helper.sock"; }
  // Exit code after the signal, nullopt when it did not end within the bound.
  std::optional<int> stop(int signal = SIGTERM) { return program_.stop(signal, kSimulatorStopBound); }
  RunningProgram& program() { return program_; }

 private:
  std::string directory_;
  RunningProgram program_;
  std::optional<std::string> firstLine_;
};

}  // namespace tidewarden::testing
