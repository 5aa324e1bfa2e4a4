// Installer storage beneath a test root: scripted system tools, leftover preparation workspaces,
// and the text of a storage refusal.
#pragma once

#include <string>
#include <utility>

#include "storage/installer_safety_error.h"

namespace tidewarden::testing {

// Writes an executable "#!/bin/sh" script with `body` at the logical path `logical`
// beneath the host directory `root`, making its folders.
void writeToolScript(const std::string& root, const std::string& logical, const std::string& body);

// A script body that prints hdiutil's attached-image list with `imagesXml` (the image
// dictionaries) as its images.
std::string attachedImagesScript(const std::string& imagesXml = "");

// A workspace an interrupted preparation left below the preparation root beneath `root`:
// private folders, a matching manifest, and `files` files of 4096 bytes inside an extracted
// application that also holds a symbolic link (6 entries besides the files). Returns its
// host path.
std::string leavePreparationWorkspace(const std::string& root, const std::string& id, int files = 2);

// The refusal text of `action`, or "" when it did not refuse.
template <class Action>
std::string storageRefusal(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const storage::InstallerSafetyError& error) {
    return error.what();
  }
  return "";
}

}  // namespace tidewarden::testing
