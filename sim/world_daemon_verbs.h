// The `tidewarden-sim world add-daemon` verb: lays out a launch daemon and its programs on the simulated Mac.
#pragma once

#include "sim/world_tool_verbs.h"

namespace tidewarden::sim {

// add-daemon LABEL --program PATH [--interpreter PATH] [--related PATH]
//            [--sign apple|developer|adhoc|unsigned] [--identifier ID] [--owner UID] [--warnings]
void addDaemonVerb(const std::string& directory, WorldVerbArguments arguments);

}  // namespace tidewarden::sim
