// `tidewarden-sim world installer …`: saved installer packages and the knobs of the simulated installer tools.
#include "sim/installer_verbs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/file_io.h"
#include "platform/property_list.h"
#include "platform/uuid.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_package.h"
#include "sim/world.h"
#include "sim/world_anchors.h"

namespace tidewarden::sim {
namespace {

namespace fs = std::filesystem;
using platform::PropertyList;

constexpr std::string_view kDownloads = "/Users/Shared/Tidewarden/Downloads";
constexpr std::string_view kMetadataPath =
    "com_apple_MobileAsset_MacSoftwareUpdate/com_apple_MobileAsset_MacSoftwareUpdate.xml";

[[noreturn]] void usage(const std::string& message) { throw WorldVerbUsageError(message); }

std::int64_t parseCount(const std::string& option, const std::string& text, std::int64_t low, std::int64_t high) {
  std::int64_t value = 0;
  if (text.empty() || text.size() > 18) usage(option + " needs a number from " + std::to_string(low));
  for (char c : text) {
    if (c < '0' || c > '9') usage(option + " needs a number from " + std::to_string(low));
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) usage(option + " needs a number from " + std::to_string(low) + " to " + std::to_string(high));
  return value;
}

// The marketing name macOS releases carry in their installer's name.
std::string releaseName(const std::string& version) {
  const std::string major = version.substr(0, version.find('.'));
  static const std::vector<std::pair<std::string, std::string>> names{
      {"11", "Big Sur"}, {"12", "Monterey"}, {"13", "Ventura"}, {"14", "Sonoma"}, {"15", "Sequoia"}, {"26", "Tahoe"}};
  for (const auto& [number, name] : names) {
    if (number == major) return name;
  }
  return "Version " + major;
}

void writeFile(const fs::path& path, const std::string& bytes, fs::perms mode) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) throw WorldError("Cannot write " + path.string() + ".");
  fs::permissions(path, mode);
}

// An installer application laid out and signed in `bundle` (a host folder).
void makeInstallerApplication(const std::string& directory, const fs::path& bundle, const std::string& identifier,
                              const std::string& version, const std::string& signer) {
  layOutInstallerApplication(directory, bundle, identifier, version);
  // Apple's installers leave their payload folder out of the seal: the image is put in
  // after signing.
  signInstallerApplication(directory, bundle, signer, identifier, kUnsealedSharedSupport);
}

// Every entry beneath `base` (host), as package entries under `prefix`, parents first.
void collect(const fs::path& base, const std::string& prefix, std::vector<SimulatedPackageEntry>& entries) {
  std::vector<fs::path> paths;
  for (const auto& item : fs::recursive_directory_iterator(base)) paths.push_back(item.path());
  std::sort(paths.begin(), paths.end());
  for (const fs::path& path : paths) {
    SimulatedPackageEntry entry;
    entry.path = prefix + "/" + fs::relative(path, base).string();
    const fs::file_status status = fs::symlink_status(path);
    entry.mode = static_cast<mode_t>(status.permissions()) & 07777;
    entry.directory = fs::is_directory(status);
    if (!entry.directory) {
      std::ifstream in(path, std::ios::binary);
      entry.bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    entries.push_back(std::move(entry));
  }
}

std::string metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  PropertyList assets = PropertyList::array();
  for (const auto& [version, build] : pairs) {
    PropertyList asset = PropertyList::dictionary();
    asset.set("OSVersion", PropertyList::string(version));
    asset.set("Build", PropertyList::string(build));
    asset.set("AssetType", PropertyList::string("com.apple.MobileAsset.MacSoftwareUpdate"));
    assets.append(std::move(asset));
  }
  PropertyList root = PropertyList::dictionary();
  root.set("Assets", std::move(assets));
  return root.toXml();
}

void packageVerb(const std::string& directory, WorldVerbArguments arguments) {
  auto options = takeOptions("installer package", arguments,
                             {"--folder", "--version", "--build", "--layout", "--signer", "--app-signer",
                              "--identifier", "--apps", "--assets", "--size"});
  for (const char* required : {"--folder", "--version", "--build"}) {
    if (!options.contains(required)) usage(std::string("installer package needs ") + required);
  }
  const std::string folder = options["--folder"];
  if (folder.empty() || folder.front() == '/' || folder.back() == '/') usage("--folder needs a folder name");
  for (const fs::path& part : fs::path(folder)) {
    if (part == "." || part == ".." || part.empty()) usage("--folder needs a folder name without . or ..");
  }
  const std::string version = options["--version"];
  const std::string build = options["--build"];
  const std::string layout = options.contains("--layout") ? options["--layout"] : "in-app";
  if (layout != "in-app" && layout != "beside-payload" && layout != "hybrid" && layout != "none" &&
      layout != "both") {
    usage("--layout needs in-app, beside-payload, hybrid, both or none");
  }
  const std::string signer = options.contains("--signer") ? options["--signer"] : "apple";
  if (signer != "apple" && signer != "developer" && signer != "adhoc") usage("--signer needs apple, developer or adhoc");
  // The applications inside are signed like the package unless asked otherwise.
  const std::string appSigner = options.contains("--app-signer") ? options["--app-signer"] : signer;
  if (appSigner != "apple" && appSigner != "developer" && appSigner != "adhoc") {
    usage("--app-signer needs apple, developer or adhoc");
  }
  const std::string name = releaseName(version);
  std::string compact = name;
  std::erase(compact, ' ');
  const std::string identifier =
      options.contains("--identifier") ? options["--identifier"] : "com.apple.InstallAssistant.macOS" + compact;
  const std::int64_t apps = options.contains("--apps") ? parseCount("--apps", options["--apps"], 0, 8) : 1;
  const std::int64_t size = options.contains("--size") ? parseCount("--size", options["--size"], 0, 1ll << 50) : 0;
  std::vector<std::pair<std::string, std::string>> pairs;
  const std::string assets = options.contains("--assets") ? options["--assets"] : version + "/" + build;
  for (std::size_t start = 0; start <= assets.size();) {
    std::size_t end = assets.find(',', start);
    if (end == std::string::npos) end = assets.size();
    const std::string pair = assets.substr(start, end - start);
    const std::size_t slash = pair.find('/');
    if (slash == std::string::npos) usage("--assets needs pairs VERSION/BUILD separated by commas");
    pairs.emplace_back(pair.substr(0, slash), pair.substr(slash + 1));
    start = end + 1;
  }

  const fs::path work = fs::path(directory) / (".installer-" + platform::makeUuidString());
  SimulatedPackage package;
  package.signer = signer;
  try {
    const std::string image = makeSimulatedImage({{std::string(kMetadataPath), metadata(pairs)}});
    package.entries.push_back({"Payload", true, 0755});
    for (std::int64_t index = 0; index < apps; ++index) {
      const std::string app = "Install macOS " + name + (index == 0 ? "" : " " + std::to_string(index + 1)) + ".app";
      makeInstallerApplication(directory, work / app, identifier, version, appSigner);
      if (layout == "in-app" || layout == "both") writeFile(work / app / "Contents/SharedSupport/SharedSupport.dmg", image, fs::perms(0644));
      package.entries.push_back({"Payload/" + app, true, 0755});
      collect(work / app, "Payload/" + app, package.entries);
    }
    if (layout == "beside-payload" || layout == "both") package.entries.push_back({"SharedSupport.dmg", false, 0644, image});
    if (layout == "hybrid") package.embeddedImage = image;
    fs::remove_all(work);
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(work, ignored);
    throw;
  }

  const std::string logical = std::string(kDownloads) + "/" + folder + "/InstallAssistant.pkg";
  const fs::path host = fs::path(directory) / std::string(SimulatedMac::kRootFolder) / logical.substr(1);
  fs::create_directories(host.parent_path());
  const platform::UniqueFd file(::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!file) throw WorldError("Cannot create " + logical + ": " + platform::errnoText(errno));
  if (!writeSimulatedPackage(file.get(), package, size) || ::fsync(file.get()) != 0) {
    throw WorldError("Cannot write " + logical + ": " + platform::errnoText(errno));
  }
  std::printf("%s\n", logical.c_str());
}

void setFlag(const std::string& directory, bool WorldInstallers::*flag, bool value) {
  World::update(directory, [&](WorldRecord& world) { world.installers.*flag = value; });
}

bool onOff(const std::string& option, const std::string& value) {
  if (value != "on" && value != "off") usage(option + " needs on or off");
  return value == "on";
}

// Replaces the media tool's whole setting: what is not given takes its default.
void mediaToolVerb(const std::string& directory, WorldVerbArguments arguments) {
  auto options = takeOptions("installer media-tool", arguments,
                             {"--duration-ms", "--fail-at", "--hang-at", "--overlong-line", "--skip-copy", "--step-gate"});
  const std::vector<std::string> steps{"erasing", "essentialFiles", "recoveryFiles", "makingBootable", "copyingInstaller"};
  WorldMediaTool tool;
  if (options.contains("--duration-ms")) tool.durationMilliseconds = parseCount("--duration-ms", options["--duration-ms"], 0, 600000);
  for (const auto& [option, field] : {std::pair{"--fail-at", &WorldMediaTool::failAtStep}, {"--hang-at", &WorldMediaTool::hangAtStep}}) {
    if (!options.contains(option)) continue;
    if (std::find(steps.begin(), steps.end(), options[option]) == steps.end()) {
      usage(std::string(option) + " needs erasing, essentialFiles, recoveryFiles, makingBootable or copyingInstaller");
    }
    tool.*field = options[option];
  }
  if (options.contains("--overlong-line")) tool.overlongLine = onOff("--overlong-line", options["--overlong-line"]);
  if (options.contains("--skip-copy")) tool.skipCopy = onOff("--skip-copy", options["--skip-copy"]);
  if (options.contains("--step-gate")) tool.stepGate = onOff("--step-gate", options["--step-gate"]);
  World::update(directory, [&](WorldRecord& world) { world.installers.mediaTool = tool; });
}

}  // namespace

void layOutInstallerApplication(const std::string& directory, const fs::path& bundle, const std::string& identifier,
                                const std::string& version) {
  PropertyList info = PropertyList::dictionary();
  info.set("CFBundleIdentifier", PropertyList::string(identifier));
  info.set("CFBundleShortVersionString", PropertyList::string(version));
  info.set("CFBundleExecutable", PropertyList::string("InstallAssistant"));
  info.set("CFBundlePackageType", PropertyList::string("APPL"));
  writeFile(bundle / "Contents/Info.plist", info.toXml(), fs::perms(0644));
  writeFile(bundle / "Contents/MacOS/InstallAssistant", "#!/bin/sh\necho simulated installer\n", fs::perms(0755));
  // Runs the simulated media tool: the world's own tool program under this name.
  std::string program = fs::absolute(directory).string() + "/" + std::string(SimulatedMac::kRootFolder) +
                        std::string(worldToolPath(WorldTool::diskutil));
  for (std::size_t quote = program.find('\''); quote != std::string::npos; quote = program.find('\'', quote + 4)) {
    program.replace(quote, 1, "'\\''");
  }
  writeFile(bundle / "Contents/Resources/createinstallmedia", "#!/bin/bash\nexec -a createinstallmedia '" + program + "' \"$@\"\n",
            fs::perms(0755));
}

void signInstallerApplication(const std::string& directory, const fs::path& bundle, const std::string& signer,
                              const std::string& identifier, const std::vector<std::string>& omit) {
  signAsWorldSigner(directory, (bundle / "Contents/Resources/createinstallmedia").string(), signer,
                    "com.apple.createinstallmedia");
  signAsWorldSigner(directory, bundle.string(), signer, identifier, omit);
}

std::string installerApplicationName(const std::string& version) { return "Install macOS " + releaseName(version); }

std::string installerPayloadImage(const std::string& version, const std::string& build) {
  return makeSimulatedImage({{std::string(kMetadataPath), metadata({{version, build}})}});
}

void runInstallerVerb(const std::string& directory, WorldVerbArguments arguments) {
  if (arguments.empty()) {
    usage("installer needs package, app, media-tool, detach-before-check, detach-fails or append-on-free-space-check");
  }
  const std::string& sub = arguments[0];
  const WorldVerbArguments rest = arguments.subspan(1);
  if (sub == "package") return packageVerb(directory, rest);
  if (sub == "app") return installerAppVerb(directory, rest);
  if (sub == "media-tool") return mediaToolVerb(directory, rest);
  if (sub == "detach-before-check") {
    if (!rest.empty()) usage("detach-before-check takes no arguments");
    return setFlag(directory, &WorldInstallers::detachBeforeCheck, true);
  }
  if (sub == "detach-fails") {
    if (rest.size() != 1 || (rest[0] != "on" && rest[0] != "off")) usage("detach-fails needs on or off");
    return setFlag(directory, &WorldInstallers::detachFails, rest[0] == "on");
  }
  if (sub == "append-on-free-space-check") {
    if (rest.empty() || rest[0].empty() || rest[0].front() != '/') usage("append-on-free-space-check needs a path");
    auto options = takeOptions("installer append-on-free-space-check", rest.subspan(1), {"--bytes", "--after"});
    if (!options.contains("--bytes")) usage("append-on-free-space-check needs --bytes");
    WorldPendingAppend append{rest[0], parseCount("--bytes", options["--bytes"], 1, 1 << 26),
                              options.contains("--after") ? parseCount("--after", options["--after"], 1, 1000) : 1};
    World::update(directory, [&](WorldRecord& world) { world.installers.pendingAppend = append; });
    return;
  }
  usage("unknown installer verb " + sub);
}

}  // namespace tidewarden::sim
