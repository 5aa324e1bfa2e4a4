// `tidewarden-ctl downloads scan|remove`: interrupted installer downloads, shown and removed.
#include "client/downloads_command.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

namespace tidewarden::ctl {
namespace {

using nlohmann::json;

constexpr std::string_view kScanSelector = "scanInterruptedInstallerDownloadsWithReply:";
constexpr std::string_view kRemoveSelector = "removeInterruptedInstallerDownloads:withReply:";
constexpr std::string_view kAcknowledgeOption = "--no-installation-in-progress";
constexpr int kExitKept = 4;
// The longest description, "Apple software-update download (partial)", and two spaces.
constexpr std::size_t kWhatWidth = 42;
// Seconds between 1970 and 2001, the epoch of the helper's dates.
constexpr double kReferenceDateOffset = 978307200.0;

json parseReply(const std::string& reply) {
  json document = json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object()) throw CommandFailure{kExitFailure, "the helper's downloads reply is malformed"};
  return document;
}

// A member of the reply of the expected kind; a reply without it is malformed.
using Kind = bool (json::*)() const noexcept;
const json& member(const json& object, const char* key, Kind is) {
  auto it = object.find(key);
  if (it == object.end() || !((*it).*is)()) {
    throw CommandFailure{kExitFailure, "the helper's downloads reply is malformed (" + std::string(key) + ")"};
  }
  return *it;
}

std::string text(const json& object, const char* key) {
  return member(object, key, &json::is_string).get<std::string>();
}

// Decimal units, as macOS shows file sizes: 999 bytes, 1.5 MB, 12.35 GB.
std::string byteText(double bytes) {
  if (bytes < 1000) return std::to_string(static_cast<long long>(bytes)) + " bytes";
  const char* units[] = {"KB", "MB", "GB", "TB", "PB"};
  int unit = 0;
  double value = bytes / 1000;
  while (value >= 1000 && unit < 4) {
    value /= 1000;
    ++unit;
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2f", value);
  std::string number = buffer;
  while (number.back() == '0') number.pop_back();
  if (number.back() == '.') number.pop_back();
  return number + " " + units[unit];
}

std::string dateText(double referenceSeconds) {
  const time_t seconds = static_cast<time_t>(std::floor(referenceSeconds + kReferenceDateOffset));
  tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[40];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return buffer;
}

std::string whatText(const std::string& source, const std::string& path) {
  const bool partial = path.ends_with(".partial");
  if (source == "appleSoftwareUpdate") return "Apple software-update download (partial)";
  if (source == "tidewarden") return partial ? "Tidewarden download (partial)" : "Tidewarden download (whole package?)";
  if (source == "tidewardenPreparation") return "Tidewarden preparation workspace";
  return source;
}

std::string padded(std::string value, std::size_t width) {
  if (value.size() < width) value.append(width - value.size(), ' ');
  return value;
}

std::string scanText(const json& reply) {
  const json& items = member(reply, "items", &json::is_array);
  const json& warnings = member(reply, "warnings", &json::is_array);
  const bool checked = member(reply, "protectedLocationsChecked", &json::is_boolean).get<bool>();
  std::string out = "Checked " + dateText(member(reply, "checkedAt", &json::is_number).get<double>()) +
                    ": " + std::to_string(items.size()) + (items.size() == 1 ? " item" : " items") +
                    (items.empty() ? ".\n" : ", largest first.\n");
  if (!items.empty()) {
    out += "\n  " + padded("WHAT", kWhatWidth) + padded("SIZE", 12) + padded("ACTIVITY", 12) + "ID\n";
  }
  for (const json& item : items) {
    if (!item.is_object()) throw CommandFailure{kExitFailure, "the helper's downloads reply is malformed (items)"};
    const std::string path = text(item, "path");
    const std::string activity = text(item, "activity");
    const double allocated = member(item, "allocatedBytes", &json::is_number_integer).get<double>();
    out += "  " + padded(whatText(text(item, "source"), path), kWhatWidth) + padded(byteText(allocated), 12) +
           padded(activity, 12) + text(item, "id") + "\n";
    out += "      where: " + path + "\n";
    out += "      modified: " + dateText(member(item, "modifiedAt", &json::is_number).get<double>()) + "\n";
    out += std::string(activity == "inactive" ? "      removable: " : "      why not removable: ") +
           text(item, "explanation") + "\n";
  }
  if (!warnings.empty()) out += "\nWarnings:\n";
  for (const json& warning : warnings) {
    if (!warning.is_string()) throw CommandFailure{kExitFailure, "the helper's downloads reply is malformed (warnings)"};
    out += "  - " + warning.get<std::string>() + "\n";
  }
  if (!checked) out += "\nNot every protected location could be checked; this list may be incomplete.\n";
  return out;
}

std::string removeText(const json& reply, std::size_t requested) {
  const json& removed = member(reply, "removedIDs", &json::is_array);
  const json& issues = member(reply, "issues", &json::is_array);
  const double freed = member(reply, "removedAllocatedBytes", &json::is_number_integer).get<double>();
  std::string out = "Removed " + std::to_string(removed.size()) + " of " + std::to_string(requested) + ", " +
                    byteText(freed) + " freed.";
  auto before = reply.find("freeSpaceBefore");
  auto after = reply.find("freeSpaceAfter");
  if (before != reply.end() && after != reply.end() && before->is_number() && after->is_number()) {
    out += " Available space: " + byteText(before->get<double>()) + " -> " + byteText(after->get<double>()) + ".";
  }
  out += "\n";
  for (const json& id : removed) {
    if (!id.is_string()) throw CommandFailure{kExitFailure, "the helper's downloads reply is malformed (removedIDs)"};
    out += "  removed: " + id.get<std::string>() + "\n";
  }
  if (!issues.empty()) out += "Kept or not done:\n";
  for (const json& issue : issues) {
    if (!issue.is_string()) throw CommandFailure{kExitFailure, "the helper's downloads reply is malformed (issues)"};
    out += "  - " + issue.get<std::string>() + "\n";
  }
  auto remaining = reply.find("remainingPreparationItems");
  if (remaining != reply.end() && remaining->is_array() && !remaining->empty()) {
    out += "Preparation workspaces still present: " + std::to_string(remaining->size()) + "\n";
  }
  return out;
}

DownloadsOutcome scan(std::span<const std::string> arguments, const HelperCall& call) {
  bool raw = false;
  for (const std::string& argument : arguments) {
    if (argument != "--json") throw CommandFailure{kExitUsage, "unknown argument " + argument + " for downloads scan"};
    raw = true;
  }
  const std::string reply = call(kScanSelector, {});
  if (raw) return {0, reply + "\n"};
  return {0, scanText(parseReply(reply))};
}

DownloadsOutcome remove(std::span<const std::string> arguments, const HelperCall& call) {
  bool raw = false;
  bool acknowledged = false;
  std::vector<std::string> ids;
  for (const std::string& argument : arguments) {
    if (argument == "--json") {
      raw = true;
    } else if (argument == kAcknowledgeOption) {
      acknowledged = true;
    } else if (argument.starts_with("-")) {
      throw CommandFailure{kExitUsage, "unknown option " + argument + " for downloads remove"};
    } else {
      ids.push_back(argument);
    }
  }
  if (ids.empty()) throw CommandFailure{kExitUsage, "downloads remove needs the ID of at least one scanned item"};
  if (!acknowledged) {
    throw CommandFailure{kExitUsage,
        "downloads remove needs --no-installation-in-progress: confirm that no macOS update or installation is "
        "running"};
  }
  const json request = {{"candidateIDs", ids}, {"noInstallationInProgressAcknowledged", true}};
  const std::string reply = call(kRemoveSelector, request.dump());
  const json document = parseReply(reply);
  const json& removed = member(document, "removedIDs", &json::is_array);
  const int status = removed.size() == ids.size() ? 0 : kExitKept;
  if (raw) return {status, reply + "\n"};
  return {status, removeText(document, ids.size())};
}

}  // namespace

DownloadsOutcome runDownloadsCommand(std::span<const std::string> arguments, const HelperCall& call) {
  if (arguments.empty()) throw CommandFailure{kExitUsage, "downloads needs scan or remove"};
  if (arguments[0] == "scan") return scan(arguments.subspan(1), call);
  if (arguments[0] == "remove") return remove(arguments.subspan(1), call);
  throw CommandFailure{kExitUsage, "unknown downloads action " + arguments[0]};
}

}  // namespace tidewarden::ctl
