// tidewarden-sim: runs the real helper on a simulated Mac and changes that Mac's world.
//
//   tidewarden-sim serve --root DIR              serve the helper on DIR/helper.sock
//   tidewarden-sim world --root DIR VERB [ARGS]  show or change the world
// Exit statuses: 0 success, 1 failure, 2 usage error.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "helper/helper_process.h"
#include "platform/development_anchor.h"
#include "sim/simulated_mac.h"
#include "sim/world.h"

namespace {

namespace sim = tidewarden::sim;

constexpr std::string_view kProgram = "tidewarden-sim";

enum ExitStatus : int { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

struct UsageError {
  std::string message;
};

using Arguments = std::span<const std::string>;

// One verb of `world`: its synopsis for the usage text and its body. Later verbs
// (fans, disks, tools...) are one more entry each.
struct WorldVerb {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
  std::function<void(const std::string& directory, Arguments)> run;
};

std::uint32_t parseUserId(const std::string& option, const std::string& text) {
  constexpr std::uint64_t kMaxUserId = 4294967294u;  // (uid_t)-1 is not a user
  std::uint64_t value = 0;
  if (text.empty() || text.size() > 10) throw UsageError{option + " needs a user id from 0 to 4294967294"};
  for (char c : text) {
    if (c < '0' || c > '9') throw UsageError{option + " needs a user id from 0 to 4294967294"};
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > kMaxUserId) throw UsageError{option + " needs a user id from 0 to 4294967294"};
  return static_cast<std::uint32_t>(value);
}

void showWorld(const std::string& directory, Arguments arguments) {
  if (!arguments.empty()) throw UsageError{"show takes no arguments"};
  std::cout << sim::World::read(directory).toJson().dump(2) << std::endl;
}

void setUser(const std::string& directory, Arguments arguments) {
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> euid;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option != "--uid" && option != "--euid") throw UsageError{"unknown option " + option + " for set-user"};
    if (i + 1 == arguments.size()) throw UsageError{option + " needs a user id"};
    std::optional<std::uint32_t>& target = option == "--uid" ? uid : euid;
    if (target) throw UsageError{option + " given twice"};
    target = parseUserId(option, arguments[++i]);
  }
  if (!uid && !euid) throw UsageError{"set-user needs --uid N, --euid N or both"};
  sim::World::update(directory, [&](sim::WorldRecord& world) {
    if (uid) world.process.uid = *uid;
    if (euid) world.process.euid = *euid;
  });
}

const std::vector<WorldVerb>& worldVerbs() {
  static const std::vector<WorldVerb> verbs = {
      {"show", "show", "print the world as JSON", showWorld},
      {"set-user", "set-user [--uid N] [--euid N]",
       "set the real and effective user ids the helper reports (default 0 and 0)", setUser},
  };
  return verbs;
}

std::string usageText() {
  std::string text = "usage: " + std::string(kProgram) + " serve --root DIR\n       " + std::string(kProgram) +
                     " world --root DIR VERB [ARGS]\n\n"
                     "serve: run the helper on the simulated Mac in DIR (an empty or new directory makes a fresh\n"
                     "       one) on DIR/helper.sock until SIGINT or SIGTERM\n\nworld verbs:\n";
  for (const WorldVerb& verb : worldVerbs()) {
    text += "  " + std::string(verb.synopsis) + "\n      " + std::string(verb.summary) + "\n";
  }
  return text;
}

// Takes "--root DIR" from the front of the arguments.
std::string takeRoot(Arguments& arguments) {
  if (arguments.empty() || arguments[0] != "--root") throw UsageError{"--root DIR is required"};
  if (arguments.size() < 2 || arguments[1].empty()) throw UsageError{"--root needs a directory"};
  std::string directory = arguments[1];
  arguments = arguments.subspan(2);
  return directory;
}

int serve(Arguments arguments) {
  const std::string directory = takeRoot(arguments);
  if (!arguments.empty()) throw UsageError{"serve takes only --root DIR"};

  // Blocked before any thread exists, so every thread inherits the mask and the two
  // signals reach only the sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  sim::SimulatedMac mac(directory, tidewarden::platform::developmentTrustAnchors());
  {
    tidewarden::helper::HelperProcess helper(mac.platform(), mac.socketPath());
    std::cout << "listening on " << mac.socketPath() << std::endl;
    int received = 0;
    while (sigwait(&stopSignals, &received) != 0) {
    }
  }
  return kExitSuccess;
}

int world(Arguments arguments) {
  const std::string directory = takeRoot(arguments);
  if (arguments.empty()) throw UsageError{"world needs a verb"};
  for (const WorldVerb& verb : worldVerbs()) {
    if (verb.name == arguments[0]) {
      verb.run(directory, arguments.subspan(1));
      return kExitSuccess;
    }
  }
  throw UsageError{"unknown world verb " + arguments[0]};
}

int run(const std::vector<std::string>& all) {
  Arguments arguments(all);
  if (arguments.empty()) throw UsageError{"no command given"};
  const std::string& command = arguments[0];
  if (command == "--help" || command == "-h") {
    std::cout << usageText() << std::flush;
    return kExitSuccess;
  }
  if (command == "serve") return serve(arguments.subspan(1));
  if (command == "world") return world(arguments.subspan(1));
  throw UsageError{"unknown command " + command};
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return run(arguments);
  } catch (const UsageError& error) {
    std::cerr << kProgram << ": " << error.message << "\n" << usageText();
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << kProgram << ": " << error.what() << "\n";
    return kExitFailure;
  }
}
