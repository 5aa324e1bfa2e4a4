// Fuzz target: arbitrary output of Apple's media-creation tool through the progress parser.
// Input: byte 0 sets the chunk size the output arrives in (1..256); the rest is the output.
// Whatever arrives, the step is one the table knows (or the starting step), a percentage is
// between 0 and 100 and never on "finalizing", the last output is one trimmed, non-empty
// line of at most 8191 characters, and the parser keeps no more than a bounded line.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "rescue/rescue_media_progress_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace rescue = tidewarden::rescue;
  using tidewarden::fuzz::printable;
  if (size == 0) return 0;
  const std::size_t chunk = static_cast<std::size_t>(data[0]) + 1;
  const std::string_view output = tidewarden::fuzz::asBytes(data + 1, size - 1);
  static const std::set<std::string> kSteps{"startingTool", "erasing", "essentialFiles", "recoveryFiles",
                                             "copyingInstaller", "makingBootable", "finalizing"};
  rescue::RescueMediaProgressParser parser;
  rescue::RescueCreationProgress progress;
  progress.step = "startingTool";
  double now = 1;
  for (std::size_t at = 0; at < output.size(); at += chunk) {
    for (const std::string& line : parser.feed(output.substr(at, chunk))) {
      FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos, "a line holds a line break: " + printable(line));
      rescue::applyMediaOutputLine(progress, line, now);
    }
    now += 1;
    FUZZ_CHECK(parser.line.size() <= rescue::kMediaOutputLineLimitCharacters * 4,
               "the unfinished line grew past its bound");
  }
  FUZZ_CHECK(kSteps.contains(progress.step), "unknown step " + progress.step + " from " + printable(output));
  if (progress.stepPercent) {
    FUZZ_CHECK(*progress.stepPercent >= 0 && *progress.stepPercent <= 100 && progress.step != "finalizing",
               "percentage out of range or on finalizing from " + printable(output));
  }
  if (progress.lastOutput) {
    const std::string& last = *progress.lastOutput;
    std::size_t characters = 0;
    for (const char byte : last) characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    FUZZ_CHECK(!last.empty() && characters <= rescue::kMediaOutputLineLimitCharacters &&
                   last.find_first_of("\r\n") == std::string::npos,
               "last output is not one bounded line: " + printable(last));
  }
  return 0;
}
