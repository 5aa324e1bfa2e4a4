// Source installer check and capacity requirement of a Rescue Drive creation.
#include "rescue/rescue_source_installer.h"

#include <fcntl.h>

#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "platform/platform.h"
#include "platform/system_tools.h"
#include "rescue/rescue_drive_error.h"

namespace tidewarden::rescue {
namespace {

constexpr const char* kWrongPlace = "Select a full \u201cInstall macOS \u2026\u201d application from /Applications.";
constexpr const char* kRedirected = "The installer bundle is missing or redirected.";
constexpr const char* kToolMissing = "Apple\u2019s createinstallmedia tool is missing.";
constexpr const char* kCannotMeasure = "Cannot measure installer capacity before erasing.";
constexpr const char* kUnfinished = "Installer capacity inspection could not finish; nothing erased.";
constexpr const char* kChanged = "Installer changed during capacity inspection.";
constexpr const char* kInvalidCapacity = "Invalid installer capacity.";
constexpr const char* kUnverified = "Installer capacity could not be verified.";
constexpr const char* kSignatureFailed = "The selected installer does not pass Apple code-signing validation.";

std::pair<std::string, std::string> splitLast(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// lstat of `path` beneath the root: its parent is walked without following links.
std::optional<platform::FileFacts> lstatLogical(const platform::Platform& platform, const std::string& path) {
  const auto [parent, name] = splitLast(path);
  const platform::UniqueFd directory = platform::openBeneath(platform.root, parent, O_RDONLY | O_DIRECTORY);
  if (!directory) return std::nullopt;
  return platform::fileFactsAt(directory.get(), name);
}

struct Measure {
  const platform::Platform& platform;
  double deadline;
  std::int64_t items = 0;
  std::int64_t bytes = 0;
  std::set<std::pair<dev_t, ino_t>> seen;

  void directory(int fd) {
    const auto listing = platform::listDirectory(fd, static_cast<std::size_t>(kMaxCapacityItems + 1));
    if (!listing) throw RescueDriveError::invalidInstaller(kChanged);
    for (const std::string& name : listing->names) {
      if (++items > kMaxCapacityItems || platform.clock.uptime() > deadline) {
        throw RescueDriveError::invalidInstaller(kUnfinished);
      }
      const auto facts = platform::fileFactsAt(fd, name);
      if (!facts) throw RescueDriveError::invalidInstaller(kChanged);
      if (facts->regular && seen.insert({facts->device, facts->inode}).second) {
        if (facts->size < 0) throw RescueDriveError::invalidInstaller(kInvalidCapacity);
        if (bytes > std::numeric_limits<std::int64_t>::max() - facts->size) {
          throw RescueDriveError::invalidInstaller(kUnverified);
        }
        bytes += facts->size;
      } else if (facts->directory) {
        const platform::UniqueFd child = platform::openAt(fd, name, O_RDONLY | O_DIRECTORY);
        if (!child) throw RescueDriveError::invalidInstaller(kChanged);
        directory(child.get());
      }
    }
  }
};

// The bundle, Contents, Resources and the tool: each owned by root and writable by neither
// group nor others, walked without following a link. Returns the tool's identity.
platform::ExecutableIdentity protectedToolIdentity(const platform::Platform& platform, const std::string& path) {
  const auto protectedFacts = [](const std::optional<platform::FileFacts>& facts) {
    if (!facts || facts->symbolicLink || facts->owner != 0 || (facts->permissions & 0022) != 0) {
      throw RescueDriveError::invalidInstaller(kInstallerOwnershipMessage);
    }
    return *facts;
  };
  platform::UniqueFd directory = platform::openBeneath(platform.root, path, O_RDONLY | O_DIRECTORY);
  protectedFacts(directory ? platform::fileFacts(directory.get()) : std::nullopt);
  for (const char* name : {"Contents", "Resources"}) {
    directory = platform::openAt(directory.get(), std::string(name), O_RDONLY | O_DIRECTORY);
    protectedFacts(directory ? platform::fileFacts(directory.get()) : std::nullopt);
  }
  const platform::FileFacts tool = protectedFacts(platform::fileFactsAt(directory.get(), "createinstallmedia"));
  return {tool.device, tool.inode, tool.size, tool.changedSeconds, tool.changedNanoseconds};
}

std::shared_ptr<const platform::CodeRequirement> appleRequirement(const platform::Platform& platform) {
  std::shared_ptr<const platform::CodeRequirement> requirement;
  if (platform.codeSigning.createRequirementWithString("anchor apple", platform::kSecCSDefaultFlags, requirement) !=
      platform::kErrSecSuccess) {
    throw RescueDriveError::invalidInstaller("Tidewarden could not create the Apple-signing requirement.");
  }
  return requirement;
}

}  // namespace

std::string standardizedPath(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string out;
  for (const std::string& part : parts) out += "/" + part;
  return out.empty() ? "/" : out;
}

SourceInstaller checkSourceInstaller(const platform::Platform& platform, const std::string& installerPath) {
  const std::string path = standardizedPath(installerPath);
  const std::string name = splitLast(path).second;
  if (!path.starts_with("/Applications/") || !name.ends_with(".app") || !name.starts_with("Install macOS ") ||
      name.size() <= std::string_view(".app").size()) {
    throw RescueDriveError::invalidInstaller(kWrongPlace);
  }
  const auto bundle = lstatLogical(platform, path);
  if (!bundle || !bundle->directory || bundle->symbolicLink) throw RescueDriveError::invalidInstaller(kRedirected);
  const auto tool = lstatLogical(platform, path + std::string(platform::tools::kCreateInstallMediaInBundle));
  if (!tool || !tool->regular || (tool->permissions & 0111) == 0) throw RescueDriveError::invalidInstaller(kToolMissing);
  const platform::ExecutableIdentity toolIdentity = protectedToolIdentity(platform, path);

  std::shared_ptr<const platform::StaticCodeObject> code;
  if (platform.codeSigning.createStaticCodeWithPath(path, platform::kSecCSDefaultFlags, code) !=
      platform::kErrSecSuccess) {
    throw RescueDriveError::invalidInstaller("The installer signature could not be inspected.");
  }
  const auto requirement = appleRequirement(platform);
  std::string explanation;
  if (platform.codeSigning.checkStaticValidity(*code, platform::kSecCSDefaultFlags, requirement.get(),
                                               &explanation) != platform::kErrSecSuccess) {
    throw RescueDriveError::invalidInstaller(kSignatureFailed);
  }
  return {path, toolIdentity};
}

platform::ExecutableIdentity verifyMediaToolForLaunch(const platform::Platform& platform, const SourceInstaller& source) {
  const std::string toolPath = source.path + std::string(platform::tools::kCreateInstallMediaInBundle);
  if (protectedToolIdentity(platform, source.path) != source.tool) {
    throw RescueDriveError::invalidInstaller(kMediaToolChangedMessage);
  }
  const auto requirement = appleRequirement(platform);
  std::shared_ptr<const platform::StaticCodeObject> code;
  if (platform.codeSigning.createStaticCodeWithPath(toolPath, platform::kSecCSDefaultFlags, code) !=
          platform::kErrSecSuccess ||
      platform.codeSigning.checkStaticValidity(*code, platform::kSecCSDefaultFlags, requirement.get()) !=
          platform::kErrSecSuccess) {
    throw RescueDriveError::invalidInstaller(kSignatureFailed);
  }
  // What was signature-checked is what the launch will find: nothing changed it meanwhile.
  if (protectedToolIdentity(platform, source.path) != source.tool) {
    throw RescueDriveError::invalidInstaller(kMediaToolChangedMessage);
  }
  return source.tool;
}

std::int64_t installerCapacityRequirement(const platform::Platform& platform, const std::string& installerPath) {
  const platform::UniqueFd bundle = platform::openBeneath(platform.root, installerPath, O_RDONLY | O_DIRECTORY);
  if (!bundle) throw RescueDriveError::invalidInstaller(kCannotMeasure);
  Measure measure{platform, platform.clock.uptime() + kCapacityInspectionSeconds};
  measure.directory(bundle.get());
  const std::int64_t counted = std::max(measure.bytes, kMinimumInstallerBytes);
  if (counted > std::numeric_limits<std::int64_t>::max() - kFilesystemHeadroomBytes) {
    throw RescueDriveError::invalidInstaller(kUnverified);
  }
  return counted + kFilesystemHeadroomBytes;
}

}  // namespace tidewarden::rescue
