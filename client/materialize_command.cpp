// tidewarden-ctl materialize: turns a saved InstallAssistant.pkg into a verified installer in /Applications.
#include "client/materialize_command.h"

#include <unistd.h>

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "wire/wire_protocol.h"

namespace tidewarden::ctl {
namespace {

constexpr std::string_view kMaterializeSelector = "materializeInstallAssistantPackage:withReply:";
constexpr int kExitRefused = 4;
constexpr std::string_view kFailurePrefix = "Preparation failed while ";

// The helper's phases, in order (the reply names the one a failure was reached in).
constexpr std::array<std::string_view, 9> kPhases{
    "validating request",
    "making private package snapshot",
    "checking Apple package signature",
    "extracting installer",
    "locating extracted installer",
    "assembling SharedSupport payload",
    "validating Apple installer and createinstallmedia",
    "reading macOS payload identity",
    "placing verified installer in Applications",
};

std::string text(const nlohmann::json& document, const char* key) {
  const auto found = document.find(key);
  return found != document.end() && found->is_string() ? found->get<std::string>() : "";
}

// The index of the phase the message says failed; validation refusals carry no prefix.
std::size_t failedPhase(const std::string& message) {
  if (message.rfind(kFailurePrefix, 0) == 0) {
    for (std::size_t index = 0; index < kPhases.size(); ++index) {
      const std::string expected = std::string(kFailurePrefix) + std::string(kPhases[index]) + ":";
      if (message.rfind(expected, 0) == 0) return index;
    }
  }
  return 0;
}

}  // namespace

int runMaterializeCommand(const HelperCall& call, std::span<const std::string> arguments) {
  std::optional<std::string> path, version, build;
  bool raw = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--version" || argument == "--build") {
      if (i + 1 == arguments.size()) throw CommandFailure{kExitUsage, argument + " needs a value"};
      (argument == "--version" ? version : build) = arguments[++i];
    } else if (argument == "--json") {
      raw = true;
    } else if (!argument.starts_with("--") && !path) {
      path = argument;
    } else {
      throw CommandFailure{kExitUsage, "unknown argument " + argument + " for materialize"};
    }
  }
  if (!path || !version || !build) throw CommandFailure{kExitUsage, "materialize needs PATH --version V --build B"};

  const nlohmann::json request = {{"packagePath", *path}, {"expectedVersion", *version}, {"expectedBuild", *build}};
  const std::string reply = call(kMaterializeSelector, request.dump());
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(reply);
  } catch (const nlohmann::json::exception&) {
  }
  if (!document.is_object() || !document.contains("success") || !document["success"].is_boolean() ||
      !document.contains("message") || !document["message"].is_string()) {
    throw CommandFailure{kExitFailure, "the helper's materialize reply is malformed"};
  }
  const bool success = document["success"].get<bool>();
  std::string out;
  if (raw) {
    out = reply + "\n";
  } else {
    const std::string message = text(document, "message");
    const std::size_t reached = success ? kPhases.size() : failedPhase(message);
    for (std::size_t index = 0; index < kPhases.size() && index <= reached; ++index) {
      out += "  " + std::string(kPhases[index]) + (index == reached ? ": failed\n" : ": done\n");
    }
    out += message + "\n";
    if (document.contains("installerPath")) out += "installer: " + text(document, "installerPath") + "\n";
    if (const auto identity = document.find("payloadIdentity"); identity != document.end() && identity->is_object()) {
      out += "payload: macOS " + text(*identity, "version") + " (" + text(*identity, "build") + ")\n";
    }
    if (const auto cleanup = document.find("preparationCleanup"); cleanup != document.end() && cleanup->is_object()) {
      const auto verified = cleanup->find("verified");
      const bool removed = verified != cleanup->end() && verified->is_boolean() && verified->get<bool>();
      out += removed ? "workspace: removed (verified)\n" : "workspace: kept at " + text(*cleanup, "workspacePath") + "\n";
    }
  }
  if (!wire::writeFully(STDOUT_FILENO, out)) throw CommandFailure{kExitFailure, "cannot write the reply"};
  return success ? 0 : kExitRefused;
}

}  // namespace tidewarden::ctl
