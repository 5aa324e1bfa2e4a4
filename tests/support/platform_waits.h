// Bounded waits for tests that watch another thread or process reach a state.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace tidewarden::testing {

// Polls `condition` until it holds (true) or `bound` passes (false). The wait ends as soon
// as the state is seen; the bound only stops a broken run, so it is generous enough for a
// loaded machine under the sanitizers.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The program process `pid` runs now, or "" once it has gone.
inline std::string programOf(pid_t pid) {
  std::error_code error;
  return std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
}

}  // namespace tidewarden::testing
