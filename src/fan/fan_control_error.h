// The refusal raised by fan control; its message is the sentence shown to the user.
#pragma once

#include <stdexcept>
#include <string>

namespace tidewarden::fan {

// One case, `refused`: what() is exactly the carried message, which replies copy.
class FanControlError : public std::runtime_error {
 public:
  static FanControlError refused(const std::string& message) { return FanControlError(message); }

  explicit FanControlError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tidewarden::fan
