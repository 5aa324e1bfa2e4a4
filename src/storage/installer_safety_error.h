// The refusal raised by the installer-storage features; its message is the user-facing reason.
#pragma once

#include <stdexcept>
#include <string>

namespace tidewarden::storage {

// One case, `refused`: what() is exactly the carried message, which replies copy or prefix.
class InstallerSafetyError : public std::runtime_error {
 public:
  static InstallerSafetyError refused(const std::string& message) {
    return InstallerSafetyError(message);
  }

  explicit InstallerSafetyError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tidewarden::storage
