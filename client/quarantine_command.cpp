// tidewarden-ctl quarantine and restore: requests built with the keys the helper reads, replies shown plainly.
#include "client/quarantine_command.h"

#include <unistd.h>

#include <optional>

#include <nlohmann/json.hpp>

#include "wire/wire_protocol.h"

namespace tidewarden::ctl {
namespace {

constexpr std::string_view kQuarantineSelector = "quarantineBackgroundItem:withReply:";
constexpr std::string_view kRestoreSelector = "restoreQuarantineItem:withReply:";
// Where the helper keeps each quarantine, one folder per ID.
constexpr std::string_view kQuarantineRoot = "/Library/Application Support/Tidewarden/Quarantine";
constexpr int kExitReply = 0;
constexpr int kExitRefused = 4;

void print(const std::string& text) {
  if (!wire::writeFully(STDOUT_FILENO, text)) throw CommandFailure{kExitFailure, "cannot write the reply"};
}

// Shows the reply (raw with --json) and gives the exit status.
int finish(const std::string& reply, bool raw, bool restoring) {
  nlohmann::json document = nlohmann::json::parse(reply, nullptr, /*allow_exceptions=*/false);
  if (!document.is_object() || !document.contains("success") || !document["success"].is_boolean() ||
      !document.contains("message") || !document["message"].is_string()) {
    throw CommandFailure{kExitFailure, "the helper's reply is malformed"};
  }
  const bool success = document["success"].get<bool>();
  if (raw) {
    print(reply + "\n");
  } else {
    std::string text = document["message"].get<std::string>() + "\n";
    if (success && document.contains("quarantineID") && document["quarantineID"].is_string()) {
      const std::string id = document["quarantineID"].get<std::string>();
      const std::string folder = std::string(kQuarantineRoot) + "/" + id;
      text += restoring ? "  restored from " + folder + " (its manifest.json stays there)\n"
                        : "  quarantine " + id + "\n  moved into " + folder +
                              " (the property list as startup-NAME, programs as N-NAME; manifest.json lists "
                              "every move)\n  undo with: tidewarden-ctl restore " + id + "\n";
    }
    print(text);
  }
  return success ? kExitReply : kExitRefused;
}

}  // namespace

int runQuarantineCommand(const HelperCall& call, std::span<const std::string> arguments) {
  std::optional<std::string> label;
  std::optional<std::string> plist;
  bool raw = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--json") {
      raw = true;
    } else if (argument == "--label" || argument == "--plist") {
      std::optional<std::string>& target = argument == "--label" ? label : plist;
      if (target) throw CommandFailure{kExitUsage, argument + " given twice"};
      if (i + 1 == arguments.size()) throw CommandFailure{kExitUsage, argument + " needs a value"};
      target = arguments[++i];
    } else {
      throw CommandFailure{kExitUsage, "unknown argument " + argument + " for quarantine"};
    }
  }
  if (!label || !plist) throw CommandFailure{kExitUsage, "quarantine needs --label LABEL and --plist PATH"};
  const nlohmann::json request = {{"label", *label}, {"plistPath", *plist}, {"relatedPaths", nlohmann::json::array()}};
  return finish(call(kQuarantineSelector, request.dump()), raw, /*restoring=*/false);
}

int runRestoreCommand(const HelperCall& call, std::span<const std::string> arguments) {
  std::optional<std::string> id;
  bool raw = false;
  for (const std::string& argument : arguments) {
    if (argument == "--json") {
      raw = true;
    } else if (argument.starts_with("--")) {
      throw CommandFailure{kExitUsage, "unknown option " + argument + " for restore"};
    } else if (id) {
      throw CommandFailure{kExitUsage, "restore takes one quarantine ID"};
    } else {
      id = argument;
    }
  }
  if (!id) throw CommandFailure{kExitUsage, "restore needs a quarantine ID"};
  return finish(call(kRestoreSelector, nlohmann::json{{"quarantineID", *id}}.dump()), raw, /*restoring=*/true);
}

}  // namespace tidewarden::ctl
