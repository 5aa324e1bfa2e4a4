// Fuzz target: the runtime stamp's text parser. A text that parses is exactly what
// text() writes for the parsed stamp (the parser is its strict inverse), and parsing that
// again gives the same stamp.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "helper/helper_runtime_stamp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tidewarden::helper::HelperRuntimeStamp;
  using tidewarden::fuzz::printable;
  const std::string_view text = tidewarden::fuzz::asBytes(data, size);
  const auto stamp = HelperRuntimeStamp::parse(text);
  if (!stamp) return 0;
  FUZZ_CHECK(text.size() <= HelperRuntimeStamp::kMaxTextBytes, "accepted an over-long stamp");
  FUZZ_CHECK(stamp->digest.size() == 64, "accepted a digest of " + std::to_string(stamp->digest.size()) + " bytes");
  const std::string formatted = stamp->text();
  FUZZ_CHECK(formatted == text, "accepted a non-canonical stamp: " + printable(text) + " formats as " +
                                    printable(formatted));
  const auto again = HelperRuntimeStamp::parse(formatted);
  FUZZ_CHECK(again && *again == *stamp, "a formatted stamp does not parse back: " + printable(formatted));
  return 0;
}
