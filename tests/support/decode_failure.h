// The refusal text of a request decoder, for asserting exact decoding messages.
#pragma once

#include <string>
#include <string_view>

#include "platform/json_codec.h"

namespace tidewarden::testing {

// What decoding a T says about `document`, or "(decoded)" when it accepted it, so that an
// exact-message assertion also fails for a document that decodes.
template <class T>
std::string decodeFailure(std::string_view document) {
  try {
    platform::json::decodeDocument<T>(document);
    return "(decoded)";
  } catch (const platform::json::DecodeError& error) {
    return error.what();
  }
}

}  // namespace tidewarden::testing
