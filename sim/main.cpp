// tidewarden-sim: runs the real helper on a simulated Mac and changes that Mac's world.
//
//   tidewarden-sim serve --root DIR              serve the helper on DIR/helper.sock
//   tidewarden-sim world --root DIR VERB [ARGS]  show or change the world
// Exit statuses: 0 success, 1 failure, 2 usage error.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper/helper_process.h"
#include "platform/clock.h"
#include "platform/development_anchor.h"
#include "sim/download_verbs.h"
#include "sim/installer_verbs.h"
#include "sim/preparation_verbs.h"
#include "sim/simulated_file_flags.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_models.h"
#include "sim/simulated_smc.h"
#include "sim/simulated_tools.h"
#include "sim/tool_gate.h"
#include "sim/world.h"
#include "sim/world_daemon_verbs.h"
#include "sim/world_disk_verbs.h"
#include "sim/world_tool_verbs.h"
#include "sim/world_verb_arguments.h"

namespace {

namespace sim = tidewarden::sim;

constexpr std::string_view kProgram = "tidewarden-sim";

enum ExitStatus : int { kExitSuccess = 0, kExitFailure = 1, kExitUsage = 2 };

using UsageError = sim::WorldVerbUsageError;

using Arguments = sim::WorldVerbArguments;
using sim::takeOptions;

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

// The clock every world change is stamped with: the simulated Mac's own.
double worldNow() { return tidewarden::platform::makeSystemClock()->now(); }

// A decimal number within [minimum, maximum], written in full.
double parseDecimal(const std::string& option, const std::string& text, double minimum, double maximum) {
  const std::string expected = option + " needs a number from " + std::to_string(static_cast<long long>(minimum)) +
                               " to " + std::to_string(static_cast<long long>(maximum));
  if (text.empty() || text.size() > 32 || std::isspace(static_cast<unsigned char>(text[0]))) throw UsageError{expected};
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(value) || value < minimum || value > maximum) {
    throw UsageError{expected};
  }
  return value;
}

// An integer within [minimum, maximum], decimal or 0x-prefixed hexadecimal.
std::int64_t parseInteger(const std::string& option, const std::string& text, std::int64_t minimum,
                          std::int64_t maximum, const std::string& what) {
  const std::string expected = option + " needs " + what;
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  const std::string body = hex ? digits.substr(2) : digits;
  if (body.empty() || body.size() > 16 ||
      body.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos) {
    throw UsageError{expected};
  }
  const unsigned long long magnitude = std::stoull(body, nullptr, hex ? 16 : 10);
  if (magnitude > static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max())) throw UsageError{expected};
  const std::int64_t value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < minimum || value > maximum) throw UsageError{expected};
  return value;
}

std::string modelNames() {
  std::string names;
  for (const sim::SimulatedModel& model : sim::simulatedModels()) {
    names += (names.empty() ? "" : ", ") + std::string(model.name);
  }
  return names;
}

void setModel(const std::string& directory, Arguments arguments) {
  if (arguments.size() != 1) throw UsageError{"set-model needs one model: " + modelNames()};
  const sim::SimulatedModel* model = sim::findSimulatedModel(arguments[0]);
  if (model == nullptr) throw UsageError{"unknown model " + arguments[0] + " (known: " + modelNames() + ")"};
  const double now = worldNow();
  sim::World::update(directory, [&](sim::WorldRecord& world) { sim::applySimulatedModel(world, *model, now); });
}

void setTemperature(const std::string& directory, Arguments arguments) {
  const auto options = takeOptions("set-temperature", arguments, {"--cpu", "--gpu"});
  if (options.empty()) throw UsageError{"set-temperature needs --cpu C, --gpu C or both"};
  std::map<std::string, std::optional<double>> readings;
  for (const auto& [option, text] : options) {
    readings[option] = text == "none" ? std::nullopt : std::optional(parseDecimal(option, text, -50, 200));
  }
  const double now = worldNow();
  sim::World::update(directory, [&](sim::WorldRecord& world) {
    // The fans' curves change with the temperature from now on, not in the past.
    sim::settleFans(world, now);
    if (readings.contains("--cpu")) world.thermal.cpuCelsius = readings["--cpu"];
    if (readings.contains("--gpu")) world.thermal.gpuCelsius = readings["--gpu"];
  });
}

void setThermalState(const std::string& directory, Arguments arguments) {
  const std::optional<sim::WorldThermalState> state =
      arguments.size() == 1 ? tidewarden::platform::json::enumFromRawValue<sim::WorldThermalState>(arguments[0])
                            : std::nullopt;
  if (!state) throw UsageError{"set-thermal-state needs one of nominal, fair, serious, critical"};
  sim::World::update(directory, [&](sim::WorldRecord& world) { world.thermal.state = *state; });
}

void takeFan(const std::string& directory, Arguments arguments) {
  if (arguments.empty()) throw UsageError{"take-fan needs a fan index"};
  const auto fan = static_cast<std::int32_t>(parseInteger("take-fan", arguments[0], 0, 7, "a fan index from 0 to 7"));
  const auto options = takeOptions("take-fan", arguments.subspan(1), {"--mode", "--target", "--after-calls"});
  if (!options.contains("--mode") && !options.contains("--target")) {
    throw UsageError{"take-fan needs --mode N, --target RPM or both"};
  }
  sim::WorldFanTakeover takeover{.fan = fan};
  if (options.contains("--mode")) {
    takeover.mode =
        static_cast<std::int32_t>(parseInteger("--mode", options.at("--mode"), 0, 255, "a mode byte from 0 to 255"));
  }
  if (options.contains("--target")) takeover.targetRPM = parseDecimal("--target", options.at("--target"), 0, 20000);
  const bool deferred = options.contains("--after-calls");
  if (deferred) {
    takeover.afterCalls = parseInteger("--after-calls", options.at("--after-calls"), 1, 1000000,
                                       "a call count from 1 to 1000000");
  }
  const double now = worldNow();
  sim::World::update(directory, [&](sim::WorldRecord& world) {
    if (static_cast<std::size_t>(fan) >= world.smc.fans.size()) {
      throw sim::WorldError("This simulated Mac has no fan " + std::to_string(fan) + " (it has " +
                            std::to_string(world.smc.fans.size()) + "); nothing was changed.");
    }
    if (deferred) {
      world.smc.takeovers.push_back(takeover);
    } else {
      sim::applyFanTakeover(world, takeover, now);
    }
  });
}

void injectSmcFault(const std::string& directory, Arguments arguments) {
  const auto options =
      takeOptions("smc-fault", arguments, {"--key", "--command", "--times", "--io-error", "--short", "--result"});
  const int kinds = static_cast<int>(options.contains("--io-error")) + static_cast<int>(options.contains("--short")) +
                    static_cast<int>(options.contains("--result"));
  if (kinds != 1) throw UsageError{"smc-fault needs exactly one of --io-error CODE, --short BYTES, --result CODE"};
  sim::WorldSmcFault fault;
  if (options.contains("--key")) {
    const std::string& key = options.at("--key");
    if (key.size() != 4) throw UsageError{"--key needs a four-character key"};
    fault.key = key;
  }
  if (options.contains("--command")) {
    fault.command = tidewarden::platform::json::enumFromRawValue<sim::WorldSmcCommand>(options.at("--command"));
    if (!fault.command) throw UsageError{"--command needs read, write or info"};
  }
  if (options.contains("--times")) {
    fault.remaining = parseInteger("--times", options.at("--times"), 1, 1000000, "a count from 1 to 1000000");
  }
  if (options.contains("--io-error")) {
    fault.kind = sim::WorldSmcFaultKind::ioError;
    // Kernel returns are usually written as unsigned hexadecimal (0xE00002BC).
    std::int64_t code = parseInteger("--io-error", options.at("--io-error"), std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::uint32_t>::max(), "a non-zero 32-bit kernel return");
    if (code > std::numeric_limits<std::int32_t>::max()) code -= std::int64_t{1} << 32;
    if (code == 0) throw UsageError{"--io-error needs a non-zero 32-bit kernel return"};
    fault.value = code;
  } else if (options.contains("--short")) {
    fault.kind = sim::WorldSmcFaultKind::shortReply;
    fault.value = parseInteger("--short", options.at("--short"), 0, 79, "a reply size from 0 to 79 bytes");
  } else {
    fault.kind = sim::WorldSmcFaultKind::result;
    fault.value = parseInteger("--result", options.at("--result"), 1, 255, "an SMC result code from 1 to 255");
  }
  sim::World::update(directory, [&](sim::WorldRecord& world) { world.smc.faults.push_back(fault); });
}

void clearSmcFaults(const std::string& directory, Arguments arguments) {
  if (!arguments.empty()) throw UsageError{"clear-smc-faults takes no arguments"};
  sim::World::update(directory, [](sim::WorldRecord& world) {
    world.smc.faults.clear();
    world.smc.takeovers.clear();
  });
}

void sendPowerEvent(const std::string& directory, Arguments arguments) {
  const std::optional<sim::WorldPowerEventKind> kind =
      arguments.size() == 1 ? tidewarden::platform::json::enumFromRawValue<sim::WorldPowerEventKind>(arguments[0])
                            : std::nullopt;
  if (!kind) throw UsageError{"power needs will-sleep or can-sleep"};
  std::int64_t id = 0;
  sim::World::update(directory, [&](sim::WorldRecord& world) {
    id = world.power.nextID++;
    world.power.pending.push_back({id, *kind});
  });
  std::printf("%lld\n", static_cast<long long>(id));
}

void setClock(const std::string& directory, Arguments arguments) {
  const auto options = takeOptions("set-clock", arguments, {"--ahead"});
  if (!options.contains("--ahead")) throw UsageError{"set-clock needs --ahead S"};
  const double ahead = parseDecimal("--ahead", options.at("--ahead"), -315360000, 315360000);
  sim::World::update(directory, [&](sim::WorldRecord& world) { world.clock.aheadSeconds = ahead; });
}


void setFreeSpace(const std::string& directory, Arguments arguments) {
  if (arguments.size() != 1) throw UsageError{"free-space needs one byte count"};
  constexpr std::int64_t kMaxBytes = 9999999999999999;  // 16 digits, about 10 PB
  const std::int64_t bytes =
      parseInteger("free-space", arguments[0], 0, kMaxBytes, "a byte count from 0 to 9999999999999999");
  sim::World::update(directory, [&](sim::WorldRecord& world) { world.storage.freeBytes = bytes; });
}

const std::vector<WorldVerb>& worldVerbs() {
  static const std::vector<WorldVerb> verbs = {
      {"show", "show", "print the world as JSON", showWorld},
      {"set-user", "set-user [--uid N] [--euid N]",
       "set the real and effective user ids the helper reports (default 0 and 0)", setUser},
      {"set-model", "set-model intel|m1|m2|m3|m4|m4-pro",
       "make the Mac that model (CPU brand, model identifier, fans, controller keys); its fans return to\n"
       "      automatic and injected faults and pending takeovers are dropped",
       setModel},
      {"set-temperature", "set-temperature [--cpu C|none] [--gpu C|none]",
       "set what the CPU and GPU sensors read in degrees Celsius (none: the sensors cannot be read)", setTemperature},
      {"set-thermal-state", "set-thermal-state nominal|fair|serious|critical",
       "set the thermal pressure the system reports", setThermalState},
      {"take-fan", "take-fan INDEX [--mode N] [--target RPM] [--after-calls N]",
       "change a fan's mode register (0 automatic, 1 manual, any byte) or target register behind the\n"
       "      helper's back, now or just before the controller answers its Nth call from now",
       takeFan},
      {"smc-fault",
       "smc-fault [--key KEY] [--command read|write|info] [--times N]\n"
       "            (--io-error CODE|--short BYTES|--result CODE)",
       "make matching controller calls fail: the driver call returns CODE, the reply is cut to BYTES, or\n"
       "      the controller answers with SMC result CODE; every matching call, or the next N",
       injectSmcFault},
      {"clear-smc-faults", "clear-smc-faults", "drop every injected fault and pending takeover", clearSmcFaults},
      {"power", "power will-sleep|can-sleep",
       "send a sleep notice to the running helper and print its id; show lists it under power.allowed\n"
       "      once the helper let it go ahead",
       sendPowerEvent},
      {"set-clock", "set-clock --ahead S",
       "set the Mac's wall clock S seconds ahead of the host's (negative: behind); files made on the host\n"
       "      then look S seconds older to the helper. Fans and waits keep host time",
       setClock},
      {"download", sim::kDownloadVerbSynopsis, sim::kDownloadVerbSummary, sim::runDownloadVerb},
      {"installer", sim::kInstallerVerbSynopsis, sim::kInstallerVerbSummary, sim::runInstallerVerb},
      {"free-space", "free-space BYTES",
       "set the free bytes the data volume reports (a new Mac has 1 TiB); show lists the signals the\n"
       "      helper sent under signals (recorded, never delivered)",
       setFreeSpace},
      {"open-file", "open-file PID DESCRIPTOR PATH",
       "make process PID hold PATH open as DESCRIPTOR (a number, or cwd, rtd, txt, mem...), as lsof reports it",
       sim::addOpenFileVerb},
      {"close-files", "close-files [--pid N] [--path PATH]",
       "drop the open files of process N and/or of PATH (every open file without options)",
       sim::closeFilesVerb},
      {"start-process", "start-process PID COMMAND [ARGUMENT...]",
       "make ps list a process running COMMAND (the executable's path) with these arguments",
       sim::startProcessVerb},
      {"end-process", "end-process PID", "drop a process and its open files",
       sim::endProcessVerb},
      {"attach-image",
       "attach-image IMAGE [--entity DEV[=MOUNT]]... [--writable] [--encrypted] [--system-image]\n"
       "            [--shadow PATH] [--hdid-pid N] [--physical]",
       "make hdiutil info list IMAGE as attached, with its devices and their mount points (which diskutil\n"
       "      info reports as virtual, or as physical with --physical) and its serving process N (without\n"
       "      --hdid-pid it lists none, as for an image with no known backing process)",
       sim::attachImageVerb},
      {"detach-image", "detach-image IMAGE|DEV", "drop an attached image, named by its path or one of its devices",
       sim::detachImageVerb},
      {"tool-fault", "tool-fault lsof|ps|hdiutil|diskutil|pkgutil|launchctl hang|flood|missing|exit N|malformed [TEXT]|signal N [--only WORD]",
       "make a simulated tool never end, add 3 MiB of output, be uninstalled, exit with status N, print\n"
       "      TEXT (or lines that are not its records) instead of its answer, or be killed by signal N; with\n"
       "      --only, just the invocations whose first argument is WORD (an hdiutil detach that fails changes nothing)",
       sim::toolFaultVerb},
      {"clear-tool-faults", "clear-tool-faults [TOOL]", "drop the fault of one tool or of every tool (reinstalling missing ones)",
       sim::clearToolFaultsVerb},
      {"tool-gate", "tool-gate close|open|waiting",
       "hold every simulated tool before it answers until the gate opens (at most 2 minutes); waiting\n"
       "      prints a line per tool held there (its path and arguments)",
       sim::toolGateVerb},
      {"preparation",
       "preparation add-workspace [--id UUID] [--files N] [--fifo] [--manifest-purpose P]",
       "lay out a leftover preparation workspace (manifest, an extracted installer with N files and a\n"
       "      symbolic link, with --fifo a named pipe) and print its path",
       sim::preparationVerb},
      {"add-daemon",
       "add-daemon LABEL --program PATH [--interpreter PATH [--related PATH] [--warnings]]\n"
       "            [--sign apple|developer|adhoc|unsigned] [--identifier ID] [--owner UID]",
       "lay out /Library/LaunchDaemons/LABEL.plist running PATH (a script run by the interpreter, which\n"
       "      execs the related program and, with --warnings, loops relaunching it); the program examined\n"
       "      (the related one, else PATH) is signed under the world's apple anchor as Apple's own software\n"
       "      (APPLESIM01) or a registered developer (DEVSIM0001), ad hoc, or not at all, and owned by UID",
       sim::addDaemonVerb},
      {"disk", sim::kDiskVerbSynopsis, sim::kDiskVerbSummary, sim::runDiskVerb},
      {"file-flags", sim::kFileFlagsVerbSynopsis, sim::kFileFlagsVerbSummary, sim::fileFlagsVerb},
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
  sim::installSimulatedTools(mac.platform().root, sim::simulatedToolProgramBesideSelf(),
                             sim::World::read(mac.directory()).tools);
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
    std::cerr << kProgram << ": " << error.what() << "\n" << usageText();
    return kExitUsage;
  } catch (const std::exception& error) {
    std::cerr << kProgram << ": " << error.what() << "\n";
    return kExitFailure;
  }
}
