// `tidewarden-ctl installers scan|delete|release-images`: the installer applications in /Applications.
#include "client/installers_command.h"

#include <cstdio>
#include <ctime>
#include <optional>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

namespace tidewarden::ctl {
namespace {

constexpr int kExitRefused = 4;
constexpr double kReferenceDateOffset = 978307200.0;  // 1970 to 2001, in seconds

nlohmann::json parsed(const std::string& reply, const char* what) {
  nlohmann::json document = nlohmann::json::parse(reply, nullptr, false);
  if (!document.is_object()) throw CommandFailure{kExitFailure, std::string("the helper's ") + what + " reply is malformed"};
  return document;
}

std::string text(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

bool flag(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_boolean() && found->get<bool>();
}

std::string bytes(const nlohmann::json& item, const char* key) {
  const auto found = item.find(key);
  if (found == item.end() || !found->is_number_integer()) return "unmeasured";
  const double value = found->get<double>();
  char out[48];
  if (value < 1e6) {
    std::snprintf(out, sizeof out, "%.0f KB", value / 1e3);
  } else if (value < 1e9) {
    std::snprintf(out, sizeof out, "%.1f MB", value / 1e6);
  } else {
    std::snprintf(out, sizeof out, "%.2f GB", value / 1e9);
  }
  return out;
}

std::string utc(const nlohmann::json& item, const char* key) {
  const auto found = item.find(key);
  if (found == item.end() || !found->is_number()) return "?";
  const std::time_t seconds = static_cast<std::time_t>(found->get<double>() + kReferenceDateOffset);
  std::tm parts{};
  char out[32];
  if (gmtime_r(&seconds, &parts) == nullptr || std::strftime(out, sizeof out, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    return "?";
  }
  return out;
}

int scan(const HelperCall& call, std::span<const std::string> arguments, bool raw,
         const std::function<void(const std::string&)>& write) {
  nlohmann::json request = nlohmann::json::object();
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] != "--only" || i + 1 == arguments.size() || request.contains("onlyPath")) {
      throw CommandFailure{kExitUsage, "installers scan takes --only PATH and --json"};
    }
    request["onlyPath"] = arguments[++i];
  }
  const std::string reply = call("scanPreparedInstallers:withReply:", request.dump());
  const nlohmann::json document = parsed(reply, "scan");
  if (raw) {
    write(reply + "\n");
    return 0;
  }
  std::string out;
  const auto items = document.find("items");
  if (items != document.end() && items->is_array()) {
    for (const nlohmann::json& item : *items) {
      const bool canDelete = flag(item, "canDelete");
      const bool canRelease = flag(item, "canReleaseImages");
      const bool reviewed = canDelete || canRelease;
      out += text(item, "name") + "  " + bytes(item, "allocatedBytes") + "  " +
             (canDelete ? "may be deleted" : canRelease ? "release images first" : "no action") + "\n";
      out += "    " + text(item, "path") + "\n    why: " + text(item, "reason") + "\n";
      if (const auto images = item.find("attachedImages"); images != item.end() && images->is_array()) {
        for (const nlohmann::json& image : *images) {
          out += "    image: " + text(image, "imagePath") + " on " + text(image, "deviceIdentifier") + "\n";
        }
      }
      if (reviewed) out += "    review: " + text(item, "id") + " until " + utc(item, "expiresAt") + "\n";
    }
    if (items->empty()) out += "no local installers found\n";
  }
  if (const auto warnings = document.find("warnings"); warnings != document.end() && warnings->is_array()) {
    for (const nlohmann::json& warning : *warnings) {
      if (warning.is_string()) out += "warning: " + warning.get<std::string>() + "\n";
    }
  }
  if (!flag(document, "complete")) out += "the list is incomplete\n";
  write(out);
  return 0;
}

// delete and release-images: ID and both acknowledgment flags, each named when missing.
int act(const HelperCall& call, const std::string& verb, std::span<const std::string> arguments, bool raw,
        const std::function<void(const std::string&)>& write) {
  const bool isDelete = verb == "delete";
  const std::string acknowledgment = isDelete ? "--permanent" : "--acknowledge";
  std::optional<std::string> id;
  std::set<std::string> given;
  for (const std::string& argument : arguments) {
    if (argument == acknowledgment || argument == "--no-installation-in-progress") {
      given.insert(argument);
    } else if (!argument.starts_with("--") && !id) {
      id = argument;
    } else {
      throw CommandFailure{kExitUsage, "unknown argument " + argument + " for installers " + verb};
    }
  }
  if (!id) throw CommandFailure{kExitUsage, "installers " + verb + " needs the review ID"};
  for (const std::string& needed : {acknowledgment, std::string("--no-installation-in-progress")}) {
    if (!given.contains(needed)) {
      throw CommandFailure{kExitUsage, "installers " + verb + " needs " + needed + "; nothing was sent to the helper"};
    }
  }
  nlohmann::json request = {{"candidateID", *id}, {"noInstallationInProgressAcknowledged", true}};
  request[isDelete ? "permanentDeletionAcknowledged" : "releaseAcknowledged"] = true;
  const std::string reply =
      call(isDelete ? "deletePreparedInstaller:withReply:" : "releasePreparedInstallerImages:withReply:", request.dump());
  const nlohmann::json document = parsed(reply, isDelete ? "deletion" : "release");
  const bool done = flag(document, isDelete ? "deleted" : "released");
  if (raw) {
    write(reply + "\n");
    return done ? 0 : kExitRefused;
  }
  std::string out = text(document, "message") + "\n";
  if (document.contains("path")) out += "installer: " + text(document, "path") + "\n";
  if (isDelete) {
    for (const char* key : {"allocatedBytesBefore", "allocatedBytesRemaining", "freeSpaceBefore", "freeSpaceAfter"}) {
      if (document.contains(key)) out += std::string(key) + ": " + bytes(document, key) + "\n";
    }
  } else if (const auto count = document.find("detachedImageCount"); count != document.end() && count->is_number()) {
    out += "detached images: " + std::to_string(count->get<long long>()) + "\n";
  }
  write(out);
  return done ? 0 : kExitRefused;
}

}  // namespace

int runInstallersCommand(const HelperCall& call, std::span<const std::string> arguments,
                         const std::function<void(const std::string&)>& write) {
  if (arguments.empty()) throw CommandFailure{kExitUsage, "installers needs scan, delete or release-images"};
  std::vector<std::string> rest;
  bool raw = false;
  for (const std::string& argument : arguments.subspan(1)) {
    if (argument == "--json") {
      raw = true;
    } else {
      rest.push_back(argument);
    }
  }
  const std::string& verb = arguments[0];
  if (verb == "scan") return scan(call, rest, raw, write);
  if (verb == "delete" || verb == "release-images") return act(call, verb, rest, raw, write);
  throw CommandFailure{kExitUsage, "unknown installers command " + verb};
}

}  // namespace tidewarden::ctl
