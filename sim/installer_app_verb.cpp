// `tidewarden-sim world installer app …`: an installer application directly in /Applications, good or flawed as asked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

#include "platform/file_io.h"
#include "platform/uuid.h"
#include "sim/installer_verbs.h"
#include "sim/simulated_mac.h"
#include "sim/world.h"

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void usage(const std::string& message) { throw WorldVerbUsageError(message); }

std::int64_t number(const std::string& option, const std::string& text, std::int64_t high) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
    usage(option + " needs a number from 0 to " + std::to_string(high));
  }
  const std::int64_t value = std::stoll(text);
  if (value > high) usage(option + " needs a number from 0 to " + std::to_string(high));
  return value;
}

void check(bool ok, const std::string& what) {
  if (!ok) throw WorldError("Cannot " + what + ": " + platform::errnoText(errno));
}

}  // namespace

void installerAppVerb(const std::string& directory, WorldVerbArguments arguments) {
  static const std::set<std::string> kFlags{"--resource-policy-only", "--group-writable", "--link-outside"};
  std::set<std::string> flags;
  std::vector<std::string> valued;
  for (const std::string& argument : arguments) {
    if (kFlags.contains(argument)) {
      if (!flags.insert(argument).second) usage(argument + " given twice");
    } else {
      valued.push_back(argument);
    }
  }
  auto options = takeOptions("installer app", valued,
                             {"--name", "--version", "--build", "--identifier", "--signer", "--media-tool", "--owner",
                              "--size"});
  if (options.contains("--version") != options.contains("--build")) usage("--version and --build go together");
  const std::string version = options.contains("--version") ? options["--version"] : "15.1";
  const std::string build = options.contains("--build") ? options["--build"] : "24B83";
  const std::string name = options.contains("--name") ? options["--name"] : "Install macOS Sequoia";
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." || name.size() > 251) {
    usage("--name needs a file name without /");
  }
  std::string release = installerApplicationName(version).substr(std::string_view("Install macOS ").size());
  std::erase(release, ' ');
  const std::string identifier =
      options.contains("--identifier") ? options["--identifier"] : "com.apple.InstallAssistant.macOS" + release;
  const std::string signer = options.contains("--signer") ? options["--signer"] : "apple";
  if (signer != "apple" && signer != "developer" && signer != "adhoc" && signer != "unsigned") {
    usage("--signer needs apple, developer, adhoc or unsigned");
  }
  const std::string media = options.contains("--media-tool") ? options["--media-tool"] : "ok";
  if (media != "ok" && media != "missing" && media != "link" && media != "not-executable") {
    usage("--media-tool needs ok, missing, link or not-executable");
  }
  const std::optional<std::int64_t> owner =
      options.contains("--owner") ? std::optional(number("--owner", options["--owner"], 99999)) : std::nullopt;
  const std::int64_t size = options.contains("--size") ? number("--size", options["--size"], 1ll << 40) : 0;

  const std::string logical = "/Applications/" + name + ".app";
  const fs::path root = fs::path(directory) / std::string(SimulatedMac::kRootFolder);
  const fs::path target = root / logical.substr(1);
  if (fs::exists(fs::symlink_status(target))) throw WorldError(logical + " already exists; nothing was changed.");
  const fs::path work = fs::path(directory) / (".installer-app-" + platform::makeUuidString());
  try {
    fs::create_directories(work);
    layOutInstallerApplication(directory, work, identifier, version);
    const fs::path image = work / "Contents/SharedSupport/SharedSupport.dmg";
    fs::create_directories(image.parent_path());
    std::ofstream(image, std::ios::binary) << installerPayloadImage(version, build);
    if (size > 0) {
      // The rest of BYTES as a hole, so a large installer costs no disk.
      const fs::path padding = work / "Contents/Resources/Padding";
      const platform::UniqueFd file(::open(padding.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
      check(file && ::ftruncate(file.get(), size) == 0, "pad " + logical);
    }
    if (signer != "unsigned") {
      signInstallerApplication(directory, work, signer, identifier,
                               flags.contains("--resource-policy-only") ? kUnsealedSharedSupport
                                                                       : std::vector<std::string>{});
    }
    const fs::path tool = work / "Contents/Resources/createinstallmedia";
    if (media == "missing") fs::remove(tool);
    if (media == "link") {
      fs::remove(tool);
      fs::create_symlink("../MacOS/InstallAssistant", tool);
    }
    if (media == "not-executable") fs::permissions(tool, fs::perms(0644));
    fs::create_directories(target.parent_path());
    check(::rename(work.c_str(), target.c_str()) == 0, "place " + logical);
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(work, ignored);
    throw;
  }
  check(::chmod(target.c_str(), flags.contains("--group-writable") ? 0775 : 0755) == 0, "set the mode of " + logical);
  if (owner) check(::lchown(target.c_str(), static_cast<uid_t>(*owner), static_cast<gid_t>(-1)) == 0, "give away " + logical);
  if (flags.contains("--link-outside")) {
    const fs::path outside = root / ("Users/Shared/" + name + " linked file");
    check(::link((target / "Contents/MacOS/InstallAssistant").c_str(), outside.c_str()) == 0,
          "link a file of " + logical + " outside it");
  }
  std::printf("%s\n", logical.c_str());
}

}  // namespace tidewarden::sim
