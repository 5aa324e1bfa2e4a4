// Whether the private package snapshot carries Apple's own package signature.
#include "materialize/apple_package_signature.h"

#include <algorithm>
#include <cctype>

#include "materialize/tool_failure_text.h"
#include "storage/installer_safety_error.h"
#include "storage/scoped_command_runner.h"

namespace tidewarden::materialize {

bool isApplePackageSignatureReport(std::string_view output) {
  std::string lower(output);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("apple") == std::string::npos) return false;
  std::size_t start = 0;
  while (start <= output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string_view::npos) end = output.size();
    std::string_view line = output.substr(start, end - start);
    const auto first = line.find_first_not_of(" \t\r");
    if (first != std::string_view::npos) {
      line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
      if (line == kAppleSoftwareStatusLine) return true;
    }
    start = end + 1;
  }
  return false;
}

void checkApplePackageSignature(const platform::Platform& platform, const std::string& snapshotPath) {
  const platform::ToolCommand command = platform::tools::pkgutilCheckSignature(snapshotPath);
  const storage::ScopedCommandResult result = storage::runScopedCommand(platform, command);
  if (!finishedSuccessfully(result)) {
    throw storage::InstallerSafetyError::refused(std::string(kPackageSignatureRefused) + " " +
                                                 toolFailureText(command, result));
  }
  if (!isApplePackageSignatureReport(result.standardOutput)) {
    throw storage::InstallerSafetyError::refused(kPackageSignatureRefused);
  }
}

}  // namespace tidewarden::materialize
