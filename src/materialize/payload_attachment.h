// Reading what `hdiutil attach -plist` says it attached.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tidewarden::materialize {

// The entities of one attachment: every device ("dev-entry", in listed order) and the
// canonical spelling of every non-empty "mount-point".
struct PayloadAttachment {
  std::vector<std::string> devices;
  std::vector<std::string> mountPoints;

  friend bool operator==(const PayloadAttachment&, const PayloadAttachment&) = default;
};

// Reads the output: a dictionary whose "system-entities" array holds at least one
// dictionary, each with a "dev-entry" string naming a /dev/ path and optionally a
// "mount-point" string. Nothing when the output has another shape, a device is not
// a /dev/ path or a mount point has no canonical spelling; `problem` then says why.
std::optional<PayloadAttachment> readPayloadAttachment(std::string_view output, std::string& problem);

}  // namespace tidewarden::materialize
