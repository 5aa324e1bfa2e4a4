// Laying out test launch daemons on the simulated Mac: property list, script, programs, signatures, owners.
#include "sim/world_daemon_verbs.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "platform/property_list.h"
#include "sim/simulated_mac.h"
#include "sim/world.h"
#include "sim/world_anchors.h"

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;

constexpr const char* kWarningLoop =
    "while true; do\n  pgrep -x agent >/dev/null || launchctl bootstrap system \"$0\"\n  sleep 30\ndone\n";

[[noreturn]] void usage(const std::string& message) { throw WorldVerbUsageError(message); }

bool isLogicalPath(const std::string& path) {
  if (path.size() < 2 || path.front() != '/' || path.back() == '/') return false;
  for (const fs::path& part : fs::path(path).relative_path()) {
    if (part == "." || part == "..") return false;
  }
  return true;
}

// Writes `bytes` at the logical path beneath the world's root, parents made 0755.
std::string place(const std::string& root, const std::string& logical, const std::string& bytes, fs::perms mode) {
  const std::string host = root + logical;
  fs::create_directories(fs::path(host).parent_path());
  if (fs::is_symlink(fs::symlink_status(host))) throw WorldError(logical + " is a symbolic link; nothing was written.");
  std::ofstream out(host, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) throw WorldError("Cannot write " + host + ".");
  fs::permissions(host, mode);
  return host;
}

}  // namespace

void addDaemonVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.empty() || arguments[0].starts_with("--")) usage("add-daemon needs a label");
  const std::string label = arguments[0];
  if (label.find('/') != std::string::npos || label.starts_with('.')) usage("add-daemon needs a label without '/'");
  std::map<std::string, std::string> options;
  bool warnings = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--warnings") {
      warnings = true;
      continue;
    }
    if (option != "--program" && option != "--interpreter" && option != "--related" && option != "--sign" &&
        option != "--identifier" && option != "--owner") {
      usage("unknown option " + option + " for add-daemon");
    }
    if (i + 1 == arguments.size()) usage(option + " needs a value");
    if (!options.emplace(option, arguments[++i]).second) usage(option + " given twice");
  }
  if (!options.contains("--program")) usage("add-daemon needs --program PATH");
  const std::string program = options["--program"];
  const std::string how = options.contains("--sign") ? options["--sign"] : "unsigned";
  if (how != "apple" && how != "developer" && how != "adhoc" && how != "unsigned") {
    usage("--sign needs apple, developer, adhoc or unsigned");
  }
  const bool script = options.contains("--interpreter");
  if ((options.contains("--related") || warnings) && !script) usage("--related and --warnings need --interpreter");
  for (const char* path : {"--program", "--interpreter", "--related"}) {
    if (options.contains(path) && !isLogicalPath(options[path])) usage(std::string(path) + " needs an absolute path");
  }
  std::optional<uid_t> owner;
  if (options.contains("--owner")) {
    const std::string& text = options["--owner"];
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
      usage("--owner needs a user id");
    }
    owner = static_cast<uid_t>(std::stoul(text));
  }
  const std::string identifier = options.contains("--identifier") ? options["--identifier"] : label;
  World::read(directory);  // a world must be there
  const std::string root = directory + "/" + std::string(SimulatedMac::kRootFolder);
  const auto executable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;

  // The program the evidence is about: the related executable when there is one.
  std::string examined = program;
  if (script) {
    std::string body = "#!/bin/sh\n" + std::string(warnings ? kWarningLoop : "");
    if (options.contains("--related")) {
      examined = options["--related"];
      body += "exec '" + examined + "' --daemon\n";
    } else {
      body += "exit 0\n";
    }
    place(root, program, body, executable);
  }
  if (examined != program || !script) {
    const std::string host = place(root, examined, "\x7f" "ELF simulated program " + examined + "\n", executable);
    signAsWorldSigner(directory, host, how, identifier);
  }
  if (owner && ::lchown((root + examined).c_str(), *owner, static_cast<gid_t>(-1)) != 0) {
    throw WorldError("Cannot give " + examined + " to user " + std::to_string(*owner) + ".");
  }

  platform::PropertyList list = platform::PropertyList::dictionary();
  list.set("Label", platform::PropertyList::string(label));
  platform::PropertyList argv = platform::PropertyList::array();
  if (script) argv.append(platform::PropertyList::string(options["--interpreter"]));
  argv.append(platform::PropertyList::string(program));
  list.set("ProgramArguments", std::move(argv));
  list.set("RunAtLoad", platform::PropertyList::boolean(true));
  place(root, "/Library/LaunchDaemons/" + label + ".plist", list.toXml(),
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

}  // namespace tidewarden::sim
