// The `tidewarden-sim world` verbs that set what the simulated system tools see.
#pragma once

#include <span>
#include <stdexcept>
#include <string>

namespace tidewarden::sim {

// A verb's arguments do not fit its synopsis; what() says which.
class WorldVerbUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using WorldVerbArguments = std::span<const std::string>;
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
//              [--shadow PATH] [--hdid-pid N]
void attachImageVerb(const std::string& directory, WorldVerbArguments arguments);
// detach-image IMAGE|DEV
void detachImageVerb(const std::string& directory, WorldVerbArguments arguments);
// tool-fault TOOL hang|flood|missing|exit STATUS|malformed [TEXT]
void toolFaultVerb(const std::string& directory, WorldVerbArguments arguments);
// clear-tool-faults [TOOL]
void clearToolFaultsVerb(const std::string& directory, WorldVerbArguments arguments);

// The verb with its usage errors rethrown as the simulator's own `Usage{message}`.
template <class Usage>
auto reportingUsageAs(ToolWorldVerb verb) {
  return [verb](const std::string& directory, WorldVerbArguments arguments) {
    try {
      verb(directory, arguments);
    } catch (const WorldVerbUsageError& error) {
      throw Usage{error.what()};
    }
  };
}

}  // namespace tidewarden::sim
