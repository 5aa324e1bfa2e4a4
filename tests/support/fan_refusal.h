// The refusal text of a fan operation, for asserting exact fan messages.
#pragma once

#include <string>

#include "fan/fan_control_error.h"

namespace tidewarden::testing {

// What `action` refuses with, or "(accepted)" when it completes, so that an
// exact-message assertion also fails for an action that succeeds.
template <class F>
std::string fanRefusalOf(F&& action) {
  try {
    action();
    return "(accepted)";
  } catch (const fan::FanControlError& error) {
    return error.what();
  }
}

// The controller transport's refusal of a call with the given detail text.
inline std::string controllerRefusal(const std::string& detail) {
  return "The controller refused a fan operation (" + detail +
         "). No alternative key, encoding or controller bypass was attempted.";
}

}  // namespace tidewarden::testing
