// tidewarden-ctl: command-line client that talks to the privileged helper over its socket.
//
// It speaks only the wire protocol (one connection, one call, one reply); the one piece
// of the helper it links is the Rescue Drive inventory, with which `rescue destinations`
// builds its rows the way the application does. Exit statuses: 0 a reply arrived; 1 a local failure (cannot
// connect, unreadable input, malformed reply); 2 a usage error; 3 the helper closed the
// connection without replying, which is what a client that is not admitted sees.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/ctl_command.h"
#include "client/downloads_command.h"
#include "client/installers_command.h"
#include "client/materialize_command.h"
#include "client/preflight_command.h"
#include "client/quarantine_command.h"
#include "client/rescue_command.h"
#include "wire/wire_protocol.h"

namespace {

namespace wire = tidewarden::wire;
namespace ctl = tidewarden::ctl;

constexpr std::string_view kProgram = "tidewarden-ctl";
constexpr std::string_view kDefaultSocket = "/run/com.ambergrove.Tidewarden.PrivilegedHelper.sock";
constexpr std::string_view kPingSelector = "pingWithReply:";
// Every call on a fresh connection is the first one; the reply must carry this id.
constexpr std::uint64_t kCallId = 1;
// Call id, selector length: the fixed part of a call frame body before the selector.
constexpr std::size_t kCallHeaderBytes = 10;

enum ExitStatus : int { kExitReply = 0, kExitFailure = 1, kExitUsage = 2, kExitNoReply = 3, kExitRefused = 4 };

// A failure that ends the program with `status` after printing `message` on stderr.
struct Failure {
  int status;
  std::string message;
};

std::string systemError(int err) {
  return std::string(std::strerror(err));  // only the main thread runs in this program
}

struct Options {
  std::string socketPath{kDefaultSocket};
};

// Sends one call on a fresh connection and returns the reply bytes. Throws Failure.
std::string callHelper(const Options& options, std::string_view selector, std::string argument) {
  if (kCallHeaderBytes + selector.size() + argument.size() > wire::kMaxFrameBytes) {
    throw Failure{kExitFailure, "the request is too large for one call (" + std::to_string(argument.size()) +
                                    " bytes of data; the transport carries at most " +
                                    std::to_string(wire::kMaxFrameBytes) + " bytes per frame)"};
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (options.socketPath.empty() || options.socketPath.size() >= sizeof address.sun_path) {
    throw Failure{kExitFailure, "cannot connect to " + options.socketPath + ": the socket path is too long"};
  }
  std::memcpy(address.sun_path, options.socketPath.data(), options.socketPath.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Failure{kExitFailure, "cannot create a socket: " + systemError(errno)};
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  int connected;
  do {
    connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) {
    throw Failure{kExitFailure, "cannot connect to " + options.socketPath + ": " + systemError(errno)};
  }

  const std::string frame = wire::encodeCall({kCallId, std::string(selector), std::move(argument)});
  const Failure noReply{kExitNoReply, "the helper closed the connection without a reply (not admitted?)"};
  // A refused connection is closed before anything is read, so the write itself may
  // fail with a reset or a broken pipe: that is the same outcome as a silent close.
  errno = 0;
  if (!wire::writeFully(fd, frame)) {
    if (errno == EPIPE || errno == ECONNRESET) throw noReply;
    throw Failure{kExitFailure, "cannot send the request: " + systemError(errno)};
  }

  std::string body;
  errno = 0;
  switch (wire::readFrame(fd, body)) {
    case wire::ReadStatus::frame:
      break;
    case wire::ReadStatus::endOfStream:
      throw noReply;
    case wire::ReadStatus::tooLarge:
      throw Failure{kExitFailure, "the helper's reply is larger than the transport allows"};
    case wire::ReadStatus::failed:
      // errno stays 0 when the stream ended inside a frame.
      if (errno == 0 || errno == ECONNRESET) throw noReply;
      throw Failure{kExitFailure, "cannot read the reply: " + systemError(errno)};
  }
  std::optional<wire::ReplyFrame> reply = wire::decodeReply(body);
  if (!reply || reply->callId != kCallId) {
    throw Failure{kExitFailure, "the helper's reply is malformed"};
  }
  return std::move(reply->payload);
}

void writeStandardOutput(std::string_view bytes) {
  if (!wire::writeFully(STDOUT_FILENO, bytes)) {
    throw Failure{kExitFailure, "cannot write the reply: " + systemError(errno)};
  }
}

// Reads the whole argument of --data: a file, or standard input for "-". Bounded by
// the frame limit so that a mistaken device path cannot exhaust memory.
std::string readData(const std::string& source) {
  int fd = STDIN_FILENO;
  if (source != "-") {
    fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure{kExitFailure, "cannot read " + source + ": " + systemError(errno)};
  }
  const std::string name = source == "-" ? "standard input" : source;
  std::string data;
  char buffer[65536];
  int readError = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      readError = errno;
      break;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data.size() > wire::kMaxFrameBytes) break;
  }
  if (fd != STDIN_FILENO) ::close(fd);
  if (readError != 0) throw Failure{kExitFailure, "cannot read " + name + ": " + systemError(readError)};
  if (data.size() > wire::kMaxFrameBytes) {
    throw Failure{kExitFailure, "cannot send " + name + ": it is larger than the transport's limit of " +
                                    std::to_string(wire::kMaxFrameBytes) + " bytes"};
  }
  return data;
}

using Arguments = std::span<const std::string>;

// One subcommand: its name, its synopsis line for the usage text and its body. A body
// throws Failure; a Failure with kExitUsage prints the usage text after the message.
struct Subcommand {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
  std::function<int(const Options&, Arguments)> run;
};

Failure usageError(std::string message) { return Failure{kExitUsage, std::move(message)}; }

int runPing(const Options& options, Arguments arguments) {
  if (!arguments.empty()) throw usageError("ping takes no arguments");
  std::string reply = callHelper(options, kPingSelector, {});
  reply.push_back('\n');
  writeStandardOutput(reply);
  return kExitReply;
}

// Selectors travel as printable ASCII; anything else would make the helper drop the
// connection, which the user would misread as a refusal.
bool isValidSelector(std::string_view selector) {
  if (selector.empty() || selector.size() > wire::kMaxSelectorBytes) return false;
  for (char c : selector) {
    if (c < 0x21 || c > 0x7e) return false;
  }
  return true;
}

int runCall(const Options& options, Arguments arguments) {
  std::optional<std::string> selector;
  std::optional<std::string> dataSource;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--data") {
      if (dataSource) throw usageError("--data given twice");
      if (i + 1 == arguments.size()) throw usageError("--data needs a file name or -");
      dataSource = arguments[++i];
    } else if (argument.starts_with("--")) {
      throw usageError("unknown option " + argument + " for call");
    } else if (selector) {
      throw usageError("call takes one selector, got a second: " + argument);
    } else {
      selector = argument;
    }
  }
  if (!selector) throw usageError("call needs a selector, e.g. pingWithReply:");
  if (!isValidSelector(*selector)) {
    throw usageError("the selector must be 1 to " + std::to_string(wire::kMaxSelectorBytes) +
                     " printable ASCII characters without spaces");
  }
  std::string argument = dataSource ? readData(*dataSource) : std::string();
  writeStandardOutput(callHelper(options, *selector, std::move(argument)));
  return kExitReply;
}


// ---------------------------------------------------------------------------------------------
// fan: the fan-control requests, built here with the JSON keys the helper reads.

constexpr std::string_view kFanSelector = "fanControl:withReply:";
// Renewals come well inside the helper's 12-second lease.
constexpr int kRenewSeconds = 5;

volatile sig_atomic_t interrupted = 0;
void noteInterrupt(int) { interrupted = 1; }

struct FanOptions {
  bool json = false;
  bool acknowledged = false;  // apply: the user said so on the command line
  bool report = false;
  std::string mode = "system";
  nlohmann::json targets = nlohmann::json::object();
  std::string source = "cpu";
  double threshold = 75;
  std::optional<std::string> session;
  std::optional<long> renewals;  // apply: stop after this many renewals (default: until interrupted)
};

double parseNumber(const std::string& option, const std::string& text) {
  try {
    std::size_t used = 0;
    const double value = std::stod(text, &used);
    if (used == text.size() && std::isfinite(value)) return value;
  } catch (const std::exception&) {
  }
  throw usageError(option + " needs a number, got " + text);
}

FanOptions parseFanOptions(Arguments arguments) {
  FanOptions options;
  const auto value = [&](std::size_t& i) -> const std::string& {
    if (i + 1 == arguments.size()) throw usageError(arguments[i] + " needs a value");
    return arguments[++i];
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json") {
      options.json = true;
    } else if (argument == "--acknowledge") {
      options.acknowledged = true;
    } else if (argument == "--report") {
      options.report = true;
    } else if (argument == "--max") {
      options.mode = "maximum";
    } else if (argument == "--auto-max") {
      options.mode = "autoMax";
    } else if (argument == "--manual") {
      options.mode = "manual";
      std::string list = value(i);
      for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string item = list.substr(start, comma - start);
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos || equals == 0 ||
            item.find_first_not_of("0123456789") != equals) {
          throw usageError("--manual needs FAN=RPM[,FAN=RPM...] with fan ids from 0, got " + item);
        }
        options.targets[item.substr(0, equals)] = parseNumber("--manual", item.substr(equals + 1));
        start = comma + 1;
      }
    } else if (argument == "--threshold") {
      options.threshold = parseNumber("--threshold", value(i));
    } else if (argument == "--source") {
      options.source = value(i);
      if (options.source != "cpu" && options.source != "gpu" && options.source != "either") {
        throw usageError("--source needs cpu, gpu or either");
      }
    } else if (argument == "--session") {
      options.session = value(i);
    } else if (argument == "--renewals") {
      const double count = parseNumber("--renewals", value(i));
      if (count < 0 || count != std::floor(count)) throw usageError("--renewals needs a count from 0");
      options.renewals = static_cast<long>(count);
    } else {
      throw usageError("unknown option " + argument + " for fan");
    }
  }
  return options;
}

nlohmann::json fanCall(const Options& options, const FanOptions& fan, const std::string& action) {
  nlohmann::json request = {{"action", action},          {"mode", fan.mode},
                            {"targets", fan.targets},    {"thermalSource", fan.source},
                            {"thresholdCelsius", fan.threshold},
                            {"acknowledged", action == "apply" && fan.acknowledged}};
  if (fan.session) request["sessionID"] = *fan.session;
  const std::string reply = callHelper(options, kFanSelector, request.dump());
  if (fan.json) writeStandardOutput(reply + "\n");
  try {
    nlohmann::json document = nlohmann::json::parse(reply);
    if (document.is_object() && document.contains("accepted") && document.contains("message")) return document;
  } catch (const nlohmann::json::exception&) {
  }
  throw Failure{kExitFailure, "the helper's fan reply is malformed"};
}

std::string number(const nlohmann::json& value) {
  if (!value.is_number()) return "?";
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", value.get<double>());
  return text;
}

// The human-readable view of a reply: its message, then one line per fan.
void printFanStatusUnchecked(const nlohmann::json& reply);
void printFanStatus(const nlohmann::json& reply) {
  try {
    printFanStatusUnchecked(reply);
  } catch (const nlohmann::json::exception&) {
    throw Failure{kExitFailure, "the helper's fan reply is malformed"};
  }
}

void printFanStatusUnchecked(const nlohmann::json& reply) {
  std::string text = (reply["message"].is_string() ? reply["message"].get<std::string>() : "") + "\n";
  if (reply.contains("status") && reply["status"].is_object()) {
    const nlohmann::json& status = reply["status"];
    for (const auto& fan : status.value("fans", nlohmann::json::array())) {
      if (!fan.is_object()) continue;
      text += "  " + fan.value("name", std::string("Fan")) + ": actual " + number(fan.value("actualRPM", nlohmann::json())) +
              " RPM, target " + number(fan.value("targetRPM", nlohmann::json())) + " RPM, range " + number(fan.value("minimumRPM", nlohmann::json())) + "-" +
              number(fan.value("maximumRPM", nlohmann::json())) + " RPM, " + (fan.value("manual", false) ? "held" : "automatic") + "\n";
    }
    if (status.contains("cpuTemperature")) text += "  CPU " + number(status["cpuTemperature"]) + " °C\n";
    if (status.contains("gpuTemperature")) text += "  GPU " + number(status["gpuTemperature"]) + " °C\n";
    if (status.contains("sessionID") && status["sessionID"].is_string()) {
      text += "  session " + status["sessionID"].get<std::string>() + "\n";
    }
  }
  writeStandardOutput(text);
}

int finishFan(const FanOptions& fan, const nlohmann::json& reply) {
  if (!fan.json) printFanStatus(reply);
  return reply["accepted"] == true ? kExitReply : kExitRefused;
}

// Sleeps `seconds` unless an interrupt arrives first.
void waitForRenewal(int seconds) {
  timespec remaining{seconds, 0};
  while (!interrupted && ::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

int runFanApply(const Options& options, FanOptions fan) {
  if (fan.mode == "system") throw usageError("fan apply needs --manual FAN=RPM,..., --max or --auto-max");
  // The acknowledgment is the user's, so this program never gives it on its own.
  if (!fan.acknowledged) {
    throw usageError(
        "fan apply needs --acknowledge: overriding the fans is your decision, and the helper takes no override "
        "without it");
  }
  struct sigaction action{};
  action.sa_handler = noteInterrupt;  // no SA_RESTART: the pause ends at once
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);

  nlohmann::json reply = fanCall(options, fan, "apply");
  if (reply["accepted"] != true) return finishFan(fan, reply);
  if (!fan.json) printFanStatus(reply);
  const nlohmann::json* status = reply.contains("status") ? &reply["status"] : nullptr;
  if (!status || !status->is_object() || !status->contains("sessionID") || !(*status)["sessionID"].is_string()) {
    throw Failure{kExitFailure, "the helper accepted the override but named no session to renew"};
  }
  fan.session = (*status)["sessionID"].get<std::string>();
  for (long renewed = 0; !interrupted && (!fan.renewals || renewed < *fan.renewals); ++renewed) {
    waitForRenewal(kRenewSeconds);
    if (interrupted) break;
    reply = fanCall(options, fan, "renew");
    if (!fan.json) printFanStatus(reply);
    if (reply["accepted"] != true) return kExitRefused;
  }
  return finishFan(fan, fanCall(options, fan, "restore"));
}

int runFan(const Options& options, Arguments arguments) {
  if (arguments.empty()) throw usageError("fan needs inspect, apply, renew or restore");
  const std::string& verb = arguments[0];
  FanOptions fan = parseFanOptions(arguments.subspan(1));
  if (fan.report && verb != "inspect") throw usageError("--report belongs to fan inspect");
  if (fan.acknowledged && verb != "apply") throw usageError("--acknowledge belongs to fan apply");
  if (verb == "inspect") {
    const nlohmann::json reply = fanCall(options, fan, "inspect");
    if (fan.report) {
      const nlohmann::json* report = reply.contains("diagnostics") ? &reply["diagnostics"] : nullptr;
      if (!report || !report->is_string()) throw Failure{kExitFailure, "the helper's reply carries no report"};
      if (!fan.json) writeStandardOutput(report->get<std::string>() + "\n");
      return kExitReply;
    }
    return finishFan(fan, reply);
  }
  if (verb == "apply") return runFanApply(options, fan);
  if (verb == "renew") {
    if (!fan.session) throw usageError("fan renew needs --session ID");
    return finishFan(fan, fanCall(options, fan, "renew"));
  }
  if (verb == "restore") return finishFan(fan, fanCall(options, fan, "restore"));
  throw usageError("unknown fan action " + verb);
}

// A subcommand whose body lives in its own file, given this file's connection; its
// failures become this program's (the same exit statuses).
template <typename Body>
std::function<int(const Options&, Arguments)> ownFile(Body body) {
  return [body](const Options& options, Arguments arguments) {
    const ctl::HelperCall call = [&options](std::string_view selector, std::string data) {
      return callHelper(options, selector, std::move(data));
    };
    try {
      return body(call, arguments);
    } catch (const ctl::CommandFailure& failure) {
      throw Failure{failure.status, failure.message};
    }
  };
}

// The subcommands, in the order the usage text lists them. A capability gets its own
// entry here; `call` stays as the raw escape hatch.
const std::vector<Subcommand>& subcommands() {
  static const std::vector<Subcommand> table = {
      {"ping", "ping", "ask the helper whether it is ready; prints its reply string", runPing},
      {"call", "call SELECTOR [--data FILE|-]",
       "send raw argument bytes (none without --data) to SELECTOR; writes the reply bytes as they are",
       runCall},
      {"fan", "fan inspect [--report] | apply --acknowledge (--manual FAN=RPM,...|--max|--auto-max)\n"
              "      [--threshold C] [--source cpu|gpu|either] [--renewals N] | renew --session ID | restore   [--json]",
       "fan control: show the fans (or the fan-control report); hold an override, renewing it every 5 s\n"
       "      with a status line per fan until interrupted (or N renewals), then restore System; --json\n"
       "      prints each raw reply instead",
       runFan},
      {"downloads", ctl::kDownloadsSynopsis, ctl::kDownloadsSummary,
       ownFile([](const ctl::HelperCall& call, Arguments arguments) {
         const ctl::DownloadsOutcome outcome = ctl::runDownloadsCommand(arguments, call);
         writeStandardOutput(outcome.output);
         return outcome.status;
       })},
      {"preflight", "preflight --package-bytes N [--already-downloaded] [--json]",
       "ask whether there is working space to prepare an installer of N bytes; exit 4 when there is not",
       ownFile([](const ctl::HelperCall& call, Arguments arguments) {
         return ctl::runPreflight(arguments, call, writeStandardOutput);
       })},
      {"materialize", "materialize PATH --version V --build B [--json]",
       "turn the saved InstallAssistant.pkg at PATH into a verified installer in /Applications; prints the\n"
       "      phases, the installer and its payload identity, and the workspace cleanup; exit 4 when refused",
       ownFile(ctl::runMaterializeCommand)},
      {"installers", ctl::kInstallersSynopsis, ctl::kInstallersSummary,
       ownFile([](const ctl::HelperCall& call, Arguments arguments) {
         return ctl::runInstallersCommand(call, arguments, writeStandardOutput);
       })},
      {"quarantine", "quarantine --label LABEL --plist PATH [--json]",
       "disable a launch daemon and move it into the helper's quarantine (when its warning signs add up);\n"
       "      prints the quarantine ID and where the files went",
       ownFile(ctl::runQuarantineCommand)},
      {"restore", "restore ID [--json]", "move a quarantine's files back (the daemon is not loaded again)",
       ownFile(ctl::runRestoreCommand)},
      {"rescue", ctl::kRescueSynopsis, ctl::kRescueSummary,
       ownFile([](const ctl::HelperCall& call, Arguments arguments) {
         if (!arguments.empty() && arguments[0] != "destinations") {
           return ctl::runRescueCreationCommand(arguments, call, writeStandardOutput);
         }
         const ctl::RescueOutcome outcome = ctl::runRescueCommand(arguments);
         writeStandardOutput(outcome.output);
         return outcome.status;
       })},
  };
  return table;
}

std::string usageText() {
  std::string text = "usage: " + std::string(kProgram) + " [--socket PATH] COMMAND\n\ncommands:\n";
  for (const Subcommand& command : subcommands()) {
    text += "  " + std::string(command.synopsis) + "\n      " + std::string(command.summary) + "\n";
  }
  text += "\noptions:\n  --socket PATH   the helper's socket (default " + std::string(kDefaultSocket) +
          ")\n  --help          show this text\n"
          "\nexit status: 0 reply received, 1 failure, 2 usage error, 3 no reply (connection refused or "
          "closed), 4 the helper refused a fan, quarantine, restore, installer deletion or image release\n"
          "request or kept a download it was asked to remove\n";
  return text;
}

int run(const std::vector<std::string>& arguments) {
  Options options;
  std::size_t index = 0;
  for (; index < arguments.size() && arguments[index].starts_with("-"); ++index) {
    const std::string& option = arguments[index];
    if (option == "--help" || option == "-h") {
      std::cout << usageText() << std::flush;
      return kExitReply;
    }
    if (option == "--socket") {
      if (index + 1 == arguments.size()) throw usageError("--socket needs a path");
      options.socketPath = arguments[++index];
      if (options.socketPath.empty()) throw usageError("--socket needs a non-empty path");
    } else {
      throw usageError("unknown option " + option);
    }
  }
  if (index == arguments.size()) throw usageError("no command given");
  const std::string& name = arguments[index];
  for (const Subcommand& command : subcommands()) {
    if (command.name == name) {
      return command.run(options, Arguments(arguments).subspan(index + 1));
    }
  }
  throw usageError("unknown command " + name);
}

}  // namespace

int main(int argc, char** argv) {
  // Linux stand-in for the hardened runtime: no process without CAP_SYS_PTRACE, also
  // none of the same user, may attach to this signed client or read or write its
  // memory, so the code the helper verified is the code that talks to it. (The helper,
  // as root, still reads how the process is mapped.)
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  try {
    return run(arguments);
  } catch (const Failure& failure) {
    std::cerr << kProgram << ": " << failure.message << "\n";
    if (failure.status == kExitUsage) std::cerr << usageText();
    return failure.status;
  }
}
