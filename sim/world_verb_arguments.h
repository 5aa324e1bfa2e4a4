// What every `tidewarden-sim world` verb shares: its arguments, its usage error and option parsing.
#pragma once

#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::sim {

// A verb's arguments do not fit its synopsis; what() says which. The simulator prints
// it with its usage text and exits with the usage status.
class WorldVerbUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using WorldVerbArguments = std::span<const std::string>;

// Options of one verb: "--name value" pairs, each at most once and each one of `known`.
inline std::map<std::string, std::string> takeOptions(std::string_view verb, WorldVerbArguments arguments,
                                                      const std::vector<std::string>& known) {
  std::map<std::string, std::string> options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    bool isKnown = false;
    for (const std::string& name : known) isKnown = isKnown || name == option;
    if (!isKnown) throw WorldVerbUsageError("unknown option " + option + " for " + std::string(verb));
    if (i + 1 == arguments.size()) throw WorldVerbUsageError(option + " needs a value");
    if (!options.emplace(option, arguments[++i]).second) throw WorldVerbUsageError(option + " given twice");
  }
  return options;
}

}  // namespace tidewarden::sim
