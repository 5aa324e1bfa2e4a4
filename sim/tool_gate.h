// The tool gate: holds every simulated system tool before it answers, so that a test can
// keep the helper's engines in the middle of their work for as long as it needs.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

// The folder of the gate in the world's folder; the gate is closed while it holds
// "closed", and each tool waiting there announces itself by a file "waiting-PID".
inline constexpr const char* kToolGateFolder = "tool-gate";

// tool-gate close|open|waiting: closes or opens the gate, or prints one line per tool
// invocation waiting at it (its name and arguments).
void toolGateVerb(const std::string& directory, WorldVerbArguments arguments);

// How a simulated tool waits for the world (a gate file, an answer): looks every 10 ms
// until `condition` holds or `bound` has passed, so that no wait outlasts its bound.
void awaitUntil(const std::function<bool()>& condition, std::chrono::steady_clock::duration bound);

// Called by a tool before it answers: while the gate is closed, waits (at most two
// minutes, as a tool that hangs would end at the helper's own time limit sooner).
void awaitToolGate(const std::string& directory, const std::string& invocation);

}  // namespace tidewarden::sim
