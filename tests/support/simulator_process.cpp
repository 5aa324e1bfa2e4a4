// A tidewarden-sim serve child and the world verbs beside it, for tests over the real socket.
#include "support/simulator_process.h"

#include <thread>

namespace tidewarden::testing {

ServingSimulator::ServingSimulator(std::string directory)
    : directory_(std::move(directory)), program_({TIDEWARDEN_SIM_PATH, "serve", "--root", directory_}) {
  firstLine_ = program_.readLine(kSimulatorStartBound);
}

ProgramResult runWorldVerb(const std::string& directory, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{TIDEWARDEN_SIM_PATH, "world", "--root", directory};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runProgram(argv);
}

nlohmann::json showWorld(const std::string& directory) {
  const ProgramResult shown = runWorldVerb(directory, {"show"});
  if (shown.exitCode != 0) return nullptr;
  return nlohmann::json::parse(shown.standardOutput, nullptr, /*allow_exceptions=*/false);
}

std::optional<nlohmann::json> awaitWorld(const std::string& directory,
                                         const std::function<bool(const nlohmann::json&)>& condition,
                                         std::chrono::milliseconds bound,
                                         const std::function<void(const nlohmann::json&)>& observe,
                                         std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const nlohmann::json world = showWorld(directory);
    if (world.is_object()) {
      if (observe) observe(world);
      if (condition(world)) return world;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(interval);
  }
}

}  // namespace tidewarden::testing
