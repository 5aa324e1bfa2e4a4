// Fuzz target: the applesmc client's reading of the kernel driver's files, under the fan
// transport's own conversation (smc_conversation.h). The input is the driver's side, one
// answer per file read in turn: a length byte (0xFF: the read fails with EIO) and that
// many bytes. When the input runs out every further read fails. Writes succeed.
//
// Whatever the files say, the only files written are key_at_index (a decimal index),
// fan1_manual ("0\n" or "1\n") and fan1_output ("3000\n"), each of the conversation's
// fan writes reaching at most one file.
#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/smc_conversation.h"
#include "platform/linux/linux_smc_client.h"
#include "support/test_platform.h"

namespace {

using tidewarden::fuzz::printable;

struct ScriptedFiles final : tidewarden::platform::AppleSmcAttributes {
  ScriptedFiles(std::string_view answers, std::vector<std::string>& fanWrites)
      : answers(answers), fanWrites(fanWrites) {}
  Text read(const std::string&) override {
    if (answers.empty() || static_cast<std::uint8_t>(answers[0]) == 0xFF) {
      answers.remove_prefix(answers.empty() ? 0 : 1);
      return {"", EIO};
    }
    const std::size_t length = std::min<std::size_t>(static_cast<std::uint8_t>(answers[0]), answers.size() - 1);
    const std::string text(answers.substr(1, length));
    answers.remove_prefix(1 + length);
    return {text};
  }
  int write(const std::string& name, std::string_view text) override {
    if (name != "key_at_index") fanWrites.push_back(name + "=" + std::string(text));
    const bool decimal =
        !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    FUZZ_CHECK(name != "key_at_index" || decimal, "an index written as " + printable(text));
    return 0;
  }
  std::string_view answers;
  std::vector<std::string>& fanWrites;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  std::vector<std::string> fanWrites;
  const auto client = tidewarden::platform::makeLinuxSmcClient([&] {
    return tidewarden::platform::AppleSmcOpenResult{tidewarden::platform::SmcClient::OpenStatus::opened,
                                                    std::make_unique<ScriptedFiles>(bytes, fanWrites)};
  });
  tidewarden::testing::ManualClock clock;
  const auto seen = tidewarden::fuzz::converse(*client, clock, [&] { return static_cast<int>(fanWrites.size()); });
  FUZZ_CHECK(seen.opened, "the client did not open");
  for (int step = 0; step < 3; ++step) FUZZ_CHECK(seen.writesBy[step] <= 1, "a fan write reached two files");
  const std::vector<std::string> allowed = {"fan1_manual=1\n", "fan1_output=3000\n", "fan1_manual=0\n"};
  for (const std::string& written : fanWrites) {
    FUZZ_CHECK(std::count(allowed.begin(), allowed.end(), written) == 1, "a fan file write " + printable(written));
  }
  return 0;
}
