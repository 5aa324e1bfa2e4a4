// The `tidewarden-sim world` verbs that set what the simulated system tools see.
#pragma once

#include <string>

#include "sim/world_verb_arguments.h"

namespace tidewarden::sim {

using ToolWorldVerb = void (*)(const std::string& directory, WorldVerbArguments);

// open-file PID DESCRIPTOR PATH
void addOpenFileVerb(const std::string& directory, WorldVerbArguments arguments);
// close-files [--pid N] [--path PATH]
void closeFilesVerb(const std::string& directory, WorldVerbArguments arguments);
// start-process PID COMMAND [ARGUMENT...]
void startProcessVerb(const std::string& directory, WorldVerbArguments arguments);
// end-process PID
void endProcessVerb(const std::string& directory, WorldVerbArguments arguments);
// attach-image IMAGE [--entity DEV[=MOUNT]]... [--writable] [--encrypted] [--system-image]
//              [--shadow PATH] [--hdid-pid N] [--physical]; without --hdid-pid the image
//              has no known backing process and hdiutil lists no "hdid-pid" for it
void attachImageVerb(const std::string& directory, WorldVerbArguments arguments);
// detach-image IMAGE|DEV
void detachImageVerb(const std::string& directory, WorldVerbArguments arguments);
// tool-fault TOOL hang|flood|missing|exit STATUS|malformed [TEXT]
void toolFaultVerb(const std::string& directory, WorldVerbArguments arguments);
// clear-tool-faults [TOOL]
void clearToolFaultsVerb(const std::string& directory, WorldVerbArguments arguments);

}  // namespace tidewarden::sim
