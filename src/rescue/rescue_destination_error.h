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

// The inspection budget of a revalidation ran out. A refusal like any other, except that
// it ends the whole inspection: it is never judged as one disk's or partition's fault.
class RescueInspectionDeadline : public RescueDestinationError {
 public:
  using RescueDestinationError::RescueDestinationError;
};

// Called first in a handler of RescueDestinationError: rethrows a RescueInspectionDeadline.
inline void passInspectionDeadlineOn(const RescueDestinationError& error) {
  if (dynamic_cast<const RescueInspectionDeadline*>(&error) != nullptr) throw;
}

}  // namespace tidewarden::rescue
