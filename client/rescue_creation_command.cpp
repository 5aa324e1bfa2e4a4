// `tidewarden-ctl rescue start|watch|status|cancel`: a Rescue Drive creation started, followed live and cancelled.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "client/rescue_command.h"
#include "platform/clock.h"
#include "platform/json_codec.h"
#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_media_progress_parser.h"

namespace tidewarden::ctl {
namespace {

using nlohmann::json;

constexpr int kExitCreationFailed = 4;
constexpr int kBarWidth = 24;
constexpr long kPollNanoseconds = 500000000;  // the status is asked twice a second

volatile sig_atomic_t interruptRequested = 0;
void noteInterrupt(int) { interruptRequested = 1; }
volatile sig_atomic_t resized = 0;
void noteResize(int) { resized = 1; }

// The terminal's width in columns; 0 when it cannot be read.
int terminalColumns() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// `line` cut to fewer than `columns` characters (a character in the last column would wrap
// on some terminals): one column per UTF-8 character, an ellipsis marking the cut.
std::string fitted(const std::string& line, int columns) {
  if (columns <= 1) return line;
  const auto limit = static_cast<std::size_t>(columns - 1);
  std::size_t characters = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) continue;
    if (++characters == limit) {
      // The character that starts here is the last that fits: the ellipsis takes its place
      // unless the line ends with it.
      std::size_t next = i + 1;
      while (next < line.size() && (static_cast<unsigned char>(line[next]) & 0xC0) == 0x80) ++next;
      return next >= line.size() ? line : line.substr(0, i) + "\u2026";
    }
  }
  return line;
}

double nowReference() { return static_cast<double>(std::time(nullptr)) - platform::kReferenceDateOffset; }

json decode(const std::string& reply) {
  json document = json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) throw CommandFailure{kExitFailure, "the helper's reply is not a JSON object"};
  return document;
}

json statusCall(const HelperCall& call, const std::string& selector, const std::string& id) {
  return decode(call(selector, json{{"operationID", id}}.dump()));
}

std::string text(const json& document, const char* key) {
  return document.contains(key) && document[key].is_string() ? document[key].get<std::string>() : std::string();
}

double number(const json& document, const char* key) {
  return document.contains(key) && document[key].is_number() ? document[key].get<double>() : NAN;
}

std::string duration(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) return "-";
  char buffer[32];
  const long whole = static_cast<long>(seconds);
  std::snprintf(buffer, sizeof buffer, "%ld:%02ld", whole / 60, whole % 60);
  return buffer;
}

// One line for the operation as it stands: phase, step, the step's percentage, its message,
// time in the step and since the tool last printed anything.
std::string progressLine(const json& status, bool bar) {
  const json live = status.contains("liveProgress") ? status["liveProgress"] : json::object();
  const double percent = number(live, "stepPercent");
  const double sampled = std::isfinite(number(live, "sampledAt")) ? number(live, "sampledAt") : nowReference();
  std::string line = text(status, "phase") + " " + std::to_string(status.value("progressPercent", 0)) + "% | " +
                     text(live, "step");
  if (bar && std::isfinite(percent)) {
    const int filled = static_cast<int>(percent / 100 * kBarWidth);
    line += " [" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "]";
  }
  if (std::isfinite(percent)) {
    char value[16];
    std::snprintf(value, sizeof value, " %.0f%%", percent);
    line += value;
  }
  line += " | " + text(status, "message");
  // While Apple's tool runs, what its current step means (copies at 100% are not the end).
  const std::string step = text(live, "step");
  if (status.value("phase", "") == "creatingInstaller" && !rescue::rescueStepMessage(step).empty()) {
    line += " | " + std::string(rescue::rescueStepMessage(step));
  }
  line += " | in step " + duration(sampled - number(live, "stepStartedAt"));
  if (std::isfinite(number(live, "lastOutputAt"))) line += ", output " + duration(sampled - number(live, "lastOutputAt")) + " ago";
  return line;
}

std::string finalText(const json& status) {
  std::string out = text(status, "phase") + ": " + text(status, "message") + "\n";
  if (!text(status, "errorMessage").empty()) out += text(status, "errorMessage") + "\n";
  return out;
}

int exitFor(const json& status) {
  return status.value("finished", false) && !status.value("success", false) ? kExitCreationFailed : 0;
}

bool confirmed(const std::string& question) {
  std::cerr << question << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "yes";
}

// Polls the operation until it is finished. On a terminal the line is redrawn in place,
// cut to the terminal's width (read again when the terminal is resized);
// otherwise a line is written whenever the phase, step, percentage or message changes.
// Ctrl-C asks whether to cancel; the creation is only cancelled on "y".
int watch(const HelperCall& call, const std::string& id, const std::function<void(const std::string&)>& write) {
  struct sigaction action{};
  action.sa_handler = noteInterrupt;  // no SA_RESTART: the pause ends at once
  ::sigaction(SIGINT, &action, nullptr);
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  struct sigaction resize{};
  resize.sa_handler = noteResize;  // no SA_RESTART: a resize redraws at once
  if (terminal) ::sigaction(SIGWINCH, &resize, nullptr);
  int columns = terminal ? terminalColumns() : 0;
  std::string shown;
  for (;;) {
    if (interruptRequested) {
      interruptRequested = 0;
      if (terminal) write("\n");
      if (confirmed("Cancel the Rescue Drive creation? Formatting that already began is not undone. [y/N] ")) {
        write(text(statusCall(call, "cancelRescueDrive:withReply:", id), "message") + "\n");
      }
      shown.clear();
    }
    const json status = statusCall(call, "rescueDriveStatus:withReply:", id);
    if (status.value("finished", false)) {
      if (terminal && !shown.empty()) write("\n");
      write(finalText(status));
      return exitFor(status);
    }
    if (terminal) {
      if (resized) {
        resized = 0;
        columns = terminalColumns();
      }
      write("\r\033[K" + fitted(progressLine(status, true), columns));
      shown = "x";
    } else {
      const json live = status.contains("liveProgress") ? status["liveProgress"] : json::object();
      const std::string key = text(status, "phase") + "|" + text(live, "step") + "|" +
                              std::to_string(static_cast<long>(std::floor(number(live, "stepPercent")))) + "|" +
                              text(status, "message");
      if (key != shown) write(progressLine(status, false) + "\n");
      shown = key;
    }
    timespec pause{0, kPollNanoseconds};
    ::nanosleep(&pause, nullptr);
  }
}

int start(std::span<const std::string> arguments, const HelperCall& call,
          const std::function<void(const std::string&)>& write) {
  std::optional<std::string> installer, destination, scope, mac;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::optional<std::string>* slot = arguments[i] == "--installer"     ? &installer
                                       : arguments[i] == "--destination" ? &destination
                                       : arguments[i] == "--scope"       ? &scope
                                       : arguments[i] == "--mac"         ? &mac
                                                                         : nullptr;
    if (slot == nullptr || slot->has_value() || i + 1 == arguments.size()) {
      throw CommandFailure{kExitUsage, "rescue start takes --installer PATH --destination ID --scope "
                                       "partition|wholeDisk [--mac DIR], each once"};
    }
    *slot = arguments[++i];
  }
  if (!installer || !destination || (scope != "partition" && scope != "wholeDisk")) {
    throw CommandFailure{kExitUsage, "rescue start needs --installer PATH, --destination ID and --scope partition|wholeDisk"};
  }
  std::optional<rescue::RescueDestination> row;
  for (const rescue::RescueDestination& candidate : destinationRows(mac)) {
    if (candidate.diskIdentifier == *destination && platform::json::rawValue(candidate.scope) == *scope) row = candidate;
  }
  if (!row) throw CommandFailure{kExitFailure, "no " + *scope + " destination " + *destination + " is attached"};
  if (row->unavailableReason) throw CommandFailure{kExitFailure, *destination + " is not offered: " + *row->unavailableReason};
  const std::string whole = row->scope == rescue::RescueDestinationScope::wholeDisk
                                ? "EVERYTHING on " + row->parent.mediaName + " (" + row->parent.identifier + ")"
                                : "ONLY " + row->diskIdentifier + " of " + row->parent.mediaName;
  std::cerr << "This erases " << whole << ". Type the scope again to confirm (" << *scope << "): " << std::flush;
  std::string typed;
  std::getline(std::cin, typed);
  json request{{"installerPath", *installer},
               {"destination", platform::json::encodeValue(*row)},
               {"confirmedScope", typed},
               {"destinationProtocol", rescue::kRescueDestinationProtocolVersion}};
  const json reply = decode(call("startRescueDrive:withReply:", request.dump()));
  write(text(reply, "message") + "\n");
  if (reply.value("accepted", false) != true || !reply.contains("operationID")) return kExitCreationFailed;
  const std::string id = text(reply, "operationID");
  write("operation " + id + "\n");
  return watch(call, id, write);
}

}  // namespace

int runRescueCreationCommand(std::span<const std::string> arguments, const HelperCall& call,
                             const std::function<void(const std::string&)>& write) {
  const std::string verb = arguments.empty() ? "" : arguments[0];
  const std::span<const std::string> rest = arguments.empty() ? arguments : arguments.subspan(1);
  if (verb == "start") return start(rest, call, write);
  const bool json = rest.size() == 2 && rest[1] == "--json" && verb == "status";
  if ((verb != "watch" && verb != "status" && verb != "cancel") || rest.empty() || (rest.size() != 1 && !json)) {
    throw CommandFailure{kExitUsage, "rescue needs destinations, start, watch ID, status ID [--json] or cancel ID"};
  }
  if (verb == "watch") return watch(call, rest[0], write);
  const std::string reply = call(verb == "status" ? "rescueDriveStatus:withReply:" : "cancelRescueDrive:withReply:",
                                 nlohmann::json{{"operationID", rest[0]}}.dump());
  const nlohmann::json status = decode(reply);
  write(json ? reply + "\n" : progressLine(status, false) + "\n" + (status.value("finished", false) ? finalText(status) : ""));
  return exitFor(status);
}

}  // namespace tidewarden::ctl
