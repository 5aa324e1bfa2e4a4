// Which names and paths may be reviewed as a local installer application.
#include "installers/installer_application_name.h"

#include "platform/utf8.h"
#include "storage/safe_paths.h"

namespace tidewarden::installers {

bool isInstallerApplicationName(std::string_view name) {
  constexpr std::string_view kPrefix = "Install macOS ";
  constexpr std::string_view kSuffix = ".app";
  if (name.size() > 255 || name.size() < kPrefix.size() + kSuffix.size()) return false;
  if (!name.starts_with(kPrefix) || !name.ends_with(kSuffix) || !platform::isValidUtf8(name)) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
    // C1 controls, U+0080 to U+009F, are C2 80 to C2 9F in UTF-8.
    if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) <= 0x9F) return false;
  }
  return true;
}

std::optional<std::string> immediateInstallerName(std::string_view path) {
  const auto components = storage::pathComponents(path);
  const auto root = storage::pathComponents(kApplicationsRoot);
  if (!components || !root || components->size() != root->size() + 1) return std::nullopt;
  for (std::size_t i = 0; i < root->size(); ++i) {
    if ((*components)[i] != (*root)[i]) return std::nullopt;
  }
  if (!isInstallerApplicationName(components->back())) return std::nullopt;
  return components->back();
}

}  // namespace tidewarden::installers
