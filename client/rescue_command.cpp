// `tidewarden-ctl rescue destinations`: the destination rows from the inventory code the helper revalidates with.
#include "client/rescue_command.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/clock.h"
#include "platform/json_codec.h"
#include "platform/process_launcher.h"
#include "platform/unique_fd.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"

namespace tidewarden::ctl {
namespace {

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string table(const std::vector<rescue::RescueDestination>& rows) {
  std::string text;
  char line[512];
  std::snprintf(line, sizeof line, "%-10s %-16s %14s %-24s %-22s %s\n", "DISK", "SCOPE", "BYTES", "FILE SYSTEM",
                "MOUNTED AT", "OFFERED");
  text += line;
  for (const rescue::RescueDestination& row : rows) {
    std::snprintf(line, sizeof line, "%-10s %-16s %14lld %-24s %-22s ", row.diskIdentifier.c_str(),
                  std::string(platform::json::rawValue(row.scope)).c_str(), static_cast<long long>(row.size),
                  orDash(row.filesystem).c_str(), orDash(row.mountPoint.value_or("")).c_str());
    text += line + (row.unavailableReason ? "no: " + *row.unavailableReason : std::string("offered")) + "\n";
  }
  if (rows.empty()) text += "(no external physical disk)\n";
  return text;
}

// How far a simulated Mac's clock runs ahead of this machine's (its world's clock
// section): the rows carry that Mac's time, as its own application would write them.
double simulatedClockAhead(const std::string& mac) {
  std::ifstream in(mac + "/world.json");
  const nlohmann::json world = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!world.is_object() || !world.contains("clock") || !world["clock"].is_object()) return 0;
  const nlohmann::json& ahead = world["clock"].value("aheadSeconds", nlohmann::json());
  return ahead.is_number() ? ahead.get<double>() : 0;
}

}  // namespace

RescueOutcome runRescueCommand(std::span<const std::string> arguments) {
  if (arguments.empty() || arguments[0] != "destinations") {
    throw CommandFailure{kExitUsage, "rescue needs destinations"};
  }
  std::optional<std::string> mac;
  bool raw = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "--json") {
      raw = true;
    } else if (arguments[i] == "--mac" && i + 1 < arguments.size() && !mac) {
      mac = arguments[++i];
    } else {
      throw CommandFailure{kExitUsage, "rescue destinations takes --mac DIR and --json, each at most once"};
    }
  }
  const std::vector<rescue::RescueDestination> rows = destinationRows(mac);
  if (raw) return {0, platform::json::encodeValue(rows).dump(2) + "\n"};
  return {0, table(rows)};
}

std::vector<rescue::RescueDestination> destinationRows(const std::optional<std::string>& mac) {
  // A simulated Mac's "/" is DIR/root: its diskutil answers from that Mac's world.
  const std::string rootPath = mac ? *mac + "/root" : "/";
  const platform::UniqueFd root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root) throw CommandFailure{kExitFailure, "cannot open " + rootPath + ": " + std::strerror(errno)};
  const std::unique_ptr<platform::ProcessLauncher> launcher = platform::makeProcessLauncher(root);
  const std::unique_ptr<platform::Clock> clock = platform::makeSystemClock();
  const rescue::DiskQuery query = [&](const std::vector<std::string>& queryArguments) {
    return rescue::readOnlyDiskQuery(*launcher, *clock, queryArguments);
  };
  try {
    return rescue::listDestinations(query, clock->now() + (mac ? simulatedClockAhead(*mac) : 0));
  } catch (const rescue::RescueDestinationError& error) {
    throw CommandFailure{kExitFailure, error.what()};
  }
}

}  // namespace tidewarden::ctl
