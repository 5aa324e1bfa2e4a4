// The simulated pkgutil and the disk-image subcommands of hdiutil: they read packages and images
// under the simulated root, write extractions and mounts there, and record attachments in the world.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/simulated_tools.h"
#include "sim/world_tools.h"

namespace tidewarden::sim {

// hdidPid of the images that the simulated `hdiutil attach` attached.
inline constexpr std::int64_t kSimulatedAttachHdidPid = 4321;

// Answers, for the world in `directory`:
//   pkgutil --check-signature PKG      the signer chain; exit 0 for a signed, intact package
//   pkgutil --expand-full PKG DIR      writes the extraction into DIR (which must not exist),
//                                      taking about 1 ms per MiB of package
//   hdiutil imageinfo -plist IMAGE     a description dictionary of an image (or of a hybrid package)
//   hdiutil attach IMAGE -plist -readonly -nobrowse -noautoopen -owners off -mountpoint DIR
//                                      lays the image's files out under DIR and records the attachment
//   hdiutil detach DEV                 removes the files and the record (fails while the world says so)
//   hdiutil info -plist                the attached images, after the detach the world asked for
// Nothing for any other invocation (the answer of answerSimulatedTool applies then).
std::optional<SimulatedToolAnswer> answerInstallerTool(const std::string& directory, WorldTool tool,
                                                       const std::vector<std::string>& arguments);

}  // namespace tidewarden::sim
