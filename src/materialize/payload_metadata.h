// The macOS version and build that a payload's software-update asset metadata names, and the match with the request.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "materialize/materialize_messages.h"

namespace tidewarden::materialize {

inline constexpr std::size_t kPayloadMetadataLimitBytes = 4194304;
inline constexpr std::size_t kMaxPayloadAssets = 256;

// The metadata cannot be read as one identity; what() is the user-facing reason.
class InstallerPayloadIdentityError : public std::runtime_error {
 public:
  static InstallerPayloadIdentityError invalid(const std::string& message) {
    return InstallerPayloadIdentityError(message);
  }
  explicit InstallerPayloadIdentityError(const std::string& message) : std::runtime_error(message) {}
};

// Reads the asset metadata property list: a dictionary whose "Assets" array (at most
// 256) holds dictionaries, each with an "OSVersion" and a "Build" string of the macOS
// version and build shapes; all of them must name the same pair, which is returned.
// Throws InstallerPayloadIdentityError.
InstallerPayloadIdentity parsePayloadMetadata(std::string_view bytes);

// Both fields must be exactly equal. Throws InstallerSafetyError naming both pairs.
void matchExpectedIdentity(const InstallerPayloadIdentity& expected, const InstallerPayloadIdentity& actual);

}  // namespace tidewarden::materialize
