// Bounded waits for tests that watch another thread or process reach a state.
#pragma once

#include <chrono>
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

}  // namespace tidewarden::testing
