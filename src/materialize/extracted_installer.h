// Finding the one installer application that the package extraction produced.
#pragma once

#include <string>
#include <string_view>

#include "storage/preparation_storage_gate.h"

namespace tidewarden::materialize {

// Where pkgutil --expand-full puts things inside the workspace: the extraction folder,
// and in it the component's expanded "Payload" (which holds the application) with,
// in some releases, "SharedSupport.dmg" beside it.
inline constexpr std::string_view kExpandedName = "Expanded";
inline constexpr std::string_view kComponentPayloadName = "Payload";
inline constexpr std::string_view kSharedSupportImageName = "SharedSupport.dmg";
// Names examined in the payload folder; more is not an installer extraction.
inline constexpr std::size_t kPayloadEntriesListed = 4096;

struct ExtractedInstaller {
  std::string name;  // "Install macOS ….app"
  std::string path;  // logical path inside the workspace
};

// True for "Install macOS <something>.app".
bool isInstallerApplicationName(std::string_view name);

// Lists the component payload of the extraction (no link followed, every directory on
// the workspace's file system and root-owned) and requires exactly one entry named
// "Install macOS ….app", which must be a bundle directory with Contents/Info.plist.
// Throws InstallerSafetyError with the count, or with the unsupported-layout message;
// no candidate is ever guessed.
ExtractedInstaller locateExtractedInstaller(const storage::PreparationWorkspace& workspace);

}  // namespace tidewarden::materialize
