// Validation of single path components.
#include "platform/safe_name.h"

namespace tidewarden::platform {

std::optional<SafeName> SafeName::make(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  if (name.find('/') != std::string_view::npos) return std::nullopt;
  if (name.find('\0') != std::string_view::npos) return std::nullopt;
  return SafeName(std::string(name));
}

}  // namespace tidewarden::platform
