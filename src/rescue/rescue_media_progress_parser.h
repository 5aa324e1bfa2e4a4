// Reading Apple's media-creation tool output as steps and percentages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "rescue/rescue_messages.h"

namespace tidewarden::rescue {

inline constexpr std::size_t kMediaOutputLineLimitCharacters = 8191;

// The message each progress step shows; an empty text for an unknown step.
std::string_view rescueStepMessage(std::string_view step);

// Splits the tool's output into lines at carriage returns and line feeds. A line longer
// than 8191 characters sets `overflow` and is dropped whole; invalid UTF-8 is repaired.
struct RescueMediaProgressParser {
  std::string line;  // the bytes of the line not yet ended
  bool overflow = false;
  bool dropping = false;  // the current line passed the limit: its rest is skipped

  // The lines `bytes` completes, decoded, in order.
  std::vector<std::string> feed(std::string_view bytes);
};

// Applies one complete output line to `progress` at time `now`: a step phrase moves to
// its step (new stepStartedAt, no percentage); any other line's last percentage up to
// 100 becomes the step's (never for "finalizing"); a non-empty line becomes lastOutput.
void applyMediaOutputLine(RescueCreationProgress& progress, std::string_view line, double now);

}  // namespace tidewarden::rescue
