// The process names of `ps -axo comm=`, read only when the listing is recognisably whole.
#include "installers/installer_process_listing.h"

#include <algorithm>

namespace tidewarden::installers {

std::optional<std::vector<std::string>> readProcessNames(const storage::ScopedCommandResult& ps) {
  if (!ps.complete || ps.status != 0) return std::nullopt;
  std::vector<std::string> names;
  const std::string& out = ps.standardOutput;
  for (std::size_t start = 0; start < out.size();) {
    std::size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    start = end + 1;
    line.erase(0, line.find_first_not_of(" \t\r\v\f"));
    line.erase(line.find_last_not_of(" \t\r\v\f") + 1);
    if (line.empty()) continue;
    std::string name = line.substr(line.rfind('/') == std::string::npos ? 0 : line.rfind('/') + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    names.push_back(std::move(name));
  }
  if (std::find(names.begin(), names.end(), "launchd") == names.end()) return std::nullopt;
  return names;
}

}  // namespace tidewarden::installers
