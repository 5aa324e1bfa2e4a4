// tidewarden-ctl preflight: asks the helper whether there is working space for an installer preparation.
#include "preflight_command.h"

#include <cstdint>
#include <optional>

#include <nlohmann/json.hpp>

namespace tidewarden::ctl {
namespace {

constexpr std::string_view kPreflightSelector = "preflightInstallerPreparation:withReply:";
constexpr int kExitAllowed = 0;
constexpr int kExitNotAllowed = 4;

std::int64_t parseByteCount(const std::string& text) {
  // Digits only: the helper judges the range, the client only refuses what is not a count.
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
    throw CommandFailure{kExitUsage, "--package-bytes needs a whole number of bytes, got " + text};
  }
  try {
    return std::stoll(text);
  } catch (const std::exception&) {
    throw CommandFailure{kExitUsage, "--package-bytes is too large: " + text};
  }
}

}  // namespace

int runPreflight(std::span<const std::string> arguments, const HelperCall& call, const WriteOutput& write) {
  std::optional<std::int64_t> packageBytes;
  bool alreadyDownloaded = false;
  bool raw = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--package-bytes") {
      if (i + 1 == arguments.size()) throw CommandFailure{kExitUsage, "--package-bytes needs a value"};
      packageBytes = parseByteCount(arguments[++i]);
    } else if (argument == "--already-downloaded") {
      alreadyDownloaded = true;
    } else if (argument == "--json") {
      raw = true;
    } else {
      throw CommandFailure{kExitUsage, "unknown option " + argument + " for preflight"};
    }
  }
  if (!packageBytes) throw CommandFailure{kExitUsage, "preflight needs --package-bytes N"};

  const nlohmann::json request = {{"packageBytes", *packageBytes}, {"packageAlreadyDownloaded", alreadyDownloaded}};
  const std::string reply = call(kPreflightSelector, request.dump());
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(reply);
  } catch (const nlohmann::json::exception&) {
  }
  if (!document.is_object() || !document.contains("allowed") || !document["allowed"].is_boolean() ||
      !document.contains("message") || !document["message"].is_string()) {
    throw CommandFailure{kExitFailure, "the helper's preflight reply is malformed"};
  }
  if (raw) {
    write(reply + "\n");
  } else {
    std::string text = document["message"].get<std::string>() + "\n";
    const auto bytes = [&](const char* key) -> std::string {
      const auto found = document.find(key);
      return found != document.end() && found->is_number_integer() ? std::to_string(found->get<std::int64_t>()) + " bytes"
                                                                   : "not measured";
    };
    text += "  budget: " + bytes("estimatedAdditionalBytes") + "\n  available: " + bytes("availableBytes") + "\n";
    write(text);
  }
  return document["allowed"].get<bool>() ? kExitAllowed : kExitNotAllowed;
}

}  // namespace tidewarden::ctl
