// Fuzz target: the tool group record's text parser. A text that parses is exactly what
// text() writes for the parsed record (the parser is its strict inverse), and parsing that
// again gives the same record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/tool_groups.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tidewarden::platform::ToolGroupRecord;
  using tidewarden::fuzz::printable;
  const std::string_view text = tidewarden::fuzz::asBytes(data, size);
  const auto record = ToolGroupRecord::parse(text);
  if (!record) return 0;
  FUZZ_CHECK(record->group > 0, "accepted group " + std::to_string(record->group));
  const auto formatted = record->text();
  FUZZ_CHECK(formatted && *formatted == text,
             "accepted a non-canonical record: " + printable(text) + " formats as " + printable(formatted.value_or("")));
  const auto again = ToolGroupRecord::parse(*formatted);
  FUZZ_CHECK(again && *again == *record, "a formatted record does not parse back: " + printable(*formatted));
  return 0;
}
