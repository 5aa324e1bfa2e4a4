// The refusal of a Rescue Drive destination approval; its message is the user-facing reason.
#pragma once

#include <stdexcept>
#include <string>

namespace tidewarden::rescue {

// One case, `refused`: what() is exactly the carried message, which replies copy.
class RescueDestinationError : public std::runtime_error {
 public:
  static RescueDestinationError refused(const std::string& message) {
    return RescueDestinationError(message);
  }

  explicit RescueDestinationError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tidewarden::rescue
