// Finding the one installer application that the package extraction produced.
#include "materialize/extracted_installer.h"

#include <fcntl.h>

#include <cerrno>

#include "platform/directory_io.h"
#include "platform/file_io.h"
#include "storage/installer_safety_error.h"

namespace tidewarden::materialize {
namespace {

using storage::InstallerSafetyError;

constexpr std::string_view kPrefix = "Install macOS ";
constexpr std::string_view kSuffix = ".app";

platform::UniqueFd openAssemblyDirectory(int parent, const std::string& name, const std::string& path,
                                         dev_t device) {
  platform::UniqueFd directory = platform::openAt(parent, name, O_RDONLY | O_DIRECTORY);
  if (!directory) {
    throw InstallerSafetyError::refused("Cannot inspect assembly directory " + path + ": " +
                                        platform::errnoText(errno));
  }
  const auto facts = platform::fileFacts(directory.get());
  if (!facts || facts->owner != 0 || facts->device != device) {
    throw InstallerSafetyError::refused("Unsupported extracted application layout: " + path +
                                        ". No SharedSupport image was guessed.");
  }
  return directory;
}

}  // namespace

bool isInstallerApplicationName(std::string_view name) {
  return name.size() > kPrefix.size() + kSuffix.size() && name.substr(0, kPrefix.size()) == kPrefix &&
         name.substr(name.size() - kSuffix.size()) == kSuffix;
}

ExtractedInstaller locateExtractedInstaller(const storage::PreparationWorkspace& workspace) {
  const platform::UniqueFd ws = workspace.gate().openWorkspace(workspace.id());
  const auto wsFacts = platform::fileFacts(ws.get());
  if (!wsFacts) {
    throw InstallerSafetyError::refused("Cannot inspect assembly directory " + workspace.path() + ": " +
                                        platform::errnoText(errno));
  }
  const std::string expandedPath = workspace.path() + "/" + std::string(kExpandedName);
  const std::string payloadPath = expandedPath + "/" + std::string(kComponentPayloadName);
  const platform::UniqueFd expanded =
      openAssemblyDirectory(ws.get(), std::string(kExpandedName), expandedPath, wsFacts->device);
  const platform::UniqueFd payload =
      openAssemblyDirectory(expanded.get(), std::string(kComponentPayloadName), payloadPath, wsFacts->device);
  const auto listing = platform::listDirectory(payload.get(), kPayloadEntriesListed);
  if (!listing) {
    throw InstallerSafetyError::refused("Cannot inspect assembly directory " + payloadPath + ": " +
                                        platform::errnoText(errno));
  }
  if (listing->truncated) {
    throw InstallerSafetyError::refused("Unsupported extracted application layout: " + payloadPath +
                                        ". No SharedSupport image was guessed.");
  }
  std::vector<std::string> found;
  for (const std::string& name : listing->names) {
    if (isInstallerApplicationName(name)) found.push_back(name);
  }
  if (found.size() != 1) {
    throw InstallerSafetyError::refused("Expected one extracted Install macOS application; found " +
                                        std::to_string(found.size()) + ". No candidate was guessed.");
  }
  ExtractedInstaller installer{found.front(), payloadPath + "/" + found.front()};
  const platform::UniqueFd bundle = openAssemblyDirectory(payload.get(), installer.name, installer.path,
                                                          wsFacts->device);
  const platform::UniqueFd contents =
      openAssemblyDirectory(bundle.get(), "Contents", installer.path + "/Contents", wsFacts->device);
  const auto info = platform::fileFactsAt(contents.get(), "Info.plist");
  if (!info || !info->regular) {
    throw InstallerSafetyError::refused("Unsupported extracted application layout: " + installer.path +
                                        ". No SharedSupport image was guessed.");
  }
  return installer;
}

}  // namespace tidewarden::materialize
