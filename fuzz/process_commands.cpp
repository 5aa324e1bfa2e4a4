// Fuzz target: the ps -axo comm= reader. A listing that reads is valid UTF-8 whose
// commands are trimmed, one line each, without control characters, each a path or one
// word, with launchd among them; written back one per line, it reads back the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/utf8.h"
#include "storage/tool_output_readers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace storage = tidewarden::storage;
  using tidewarden::fuzz::printable;
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  const std::optional<std::vector<std::string>> commands = storage::readProcessCommands(bytes);
  if (!commands) return 0;
  FUZZ_CHECK(tidewarden::platform::isValidUtf8(bytes), "output that is not UTF-8 was read: " + printable(bytes));
  FUZZ_CHECK(std::find(commands->begin(), commands->end(), storage::kFirstProcessCommand) != commands->end(),
             "a listing without launchd was read: " + printable(bytes));
  std::string written;
  for (const std::string& command : *commands) {
    FUZZ_CHECK(!command.empty() && command.front() != ' ' && command.back() != ' ',
               "an empty or untrimmed command: " + printable(bytes));
    for (unsigned char c : command) FUZZ_CHECK(c >= 0x20 && c != 0x7F, "a control character: " + printable(bytes));
    FUZZ_CHECK(command.front() == '/' || command.find_first_of(" \t/") == std::string::npos,
               "a command that is neither a path nor one word: " + printable(bytes));
    written += command + "\n";
  }
  FUZZ_CHECK(storage::readProcessCommands(written) == commands,
             "commands written back read differently: " + printable(bytes));
  return 0;
}
