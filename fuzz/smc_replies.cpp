// Fuzz target: the fan transport's reading of controller replies. The input is the
// controller's side of a conversation (smc_conversation.h), one reply per call: a
// header byte (0xFF: the driver call fails; otherwise the reply size, modulo 81) and
// the 80-byte record. When the input runs out every further call fails.
//
// Whatever the controller says: an inventory that reads is valid, a temperature is
// plausible, log and metadata lines keep their bounds, and the only writes are one mode
// byte (0 or 1) and one 3000 RPM target to fan 0's own keys, each write issued once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fan/fan_inventory_validity.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/smc_conversation.h"
#include "support/test_platform.h"

namespace {

namespace fan = tidewarden::fan;
namespace platform = tidewarden::platform;
namespace record = tidewarden::fan::smc_record;
using tidewarden::fuzz::printable;

constexpr std::uint8_t kDriverFails = 0xFF;
constexpr std::int32_t kDriverError = static_cast<std::int32_t>(0xE00002BC);

class ScriptedController final : public platform::SmcClient {
 public:
  explicit ScriptedController(std::string_view replies) : replies_(replies) {}

  OpenResult open() override { return {OpenStatus::opened, std::make_unique<Connection>(*this)}; }

  std::vector<platform::SmcParameterRecord> received;

 private:
  struct Connection final : platform::SmcConnection {
    explicit Connection(ScriptedController& owner) : owner(owner) {}
    platform::SmcCallResult call(const platform::SmcParameterRecord& input) override { return owner.answer(input); }
    ScriptedController& owner;
  };

  platform::SmcCallResult answer(const platform::SmcParameterRecord& input) {
    received.push_back(input);
    platform::SmcCallResult result;
    if (replies_.empty()) {
      result.kernelReturn = kDriverError;
      return result;
    }
    const auto header = static_cast<std::uint8_t>(replies_[0]);
    replies_.remove_prefix(1);
    if (header == kDriverFails) {
      result.kernelReturn = kDriverError;
      return result;
    }
    result.outputSize = header % (platform::kSmcParameterRecordSize + 1);
    const std::size_t given = std::min(replies_.size(), platform::kSmcParameterRecordSize);
    std::memcpy(result.output.data(), replies_.data(), std::min(given, result.outputSize));
    replies_.remove_prefix(given);
    return result;
  }

  std::string_view replies_;
};

// Characters of UTF-8 text: the bytes that do not continue a sequence.
long characters(const std::string& text) {
  long count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = tidewarden::fuzz::asBytes(data, size);
  ScriptedController controller(bytes);
  tidewarden::testing::ManualClock clock;
  const auto writes = [&] {
    int count = 0;
    for (const auto& input : controller.received) count += input[record::kCommandOffset] == record::kWriteValue;
    return count;
  };
  const tidewarden::fuzz::SmcConversation seen = tidewarden::fuzz::converse(controller, clock, writes);
  FUZZ_CHECK(seen.opened, "the scripted controller did not open");

  if (seen.inventoryRead && !seen.fans.empty()) {
    FUZZ_CHECK(fan::isValidFanInventory(seen.fans), "an invalid inventory was accepted: " + printable(bytes));
    for (std::size_t i = 0; i < seen.fans.size(); ++i) {
      FUZZ_CHECK(seen.fans[i].id == static_cast<std::int32_t>(i) && seen.fans[i].name == "Fan " + std::to_string(i + 1),
                 "fans out of index order");
    }
  }
  FUZZ_CHECK(!seen.cpu || (*seen.cpu > 0 && *seen.cpu < 140), "an implausible temperature was kept");
  for (const std::string& line : seen.metadata) {
    FUZZ_CHECK(line.rfind("KEY INFO ", 0) == 0 && characters(line) <= 384, "metadata line out of shape: " + line);
  }
  FUZZ_CHECK(seen.events.size() <= fan::FanSMCTransport::kMaxEvents, "the event log outgrew its bound");
  for (const std::string& line : seen.events) {
    FUZZ_CHECK(characters(line) <= 384, "an event line outgrew its bound: " + line);
  }

  for (int step = 0; step < 3; ++step) FUZZ_CHECK(seen.writesBy[step] <= 1, "a fan write was issued twice");
  for (const auto& input : controller.received) {
    if (input[record::kCommandOffset] != record::kWriteValue) continue;
    const std::string key = record::fourCC(input, record::kKeyOffset);
    const std::uint32_t length = record::uint32At(input, record::kDataSizeOffset);
    const std::vector<std::uint8_t> payload(input.begin() + record::kBytesOffset,
                                            input.begin() + record::kBytesOffset + std::min<std::uint32_t>(length, 32));
    if (key == "F0Md") {
      FUZZ_CHECK(length == 1 && payload[0] <= 1, "a mode write other than 0 or 1");
    } else {
      FUZZ_CHECK(key == "F0Tg", "a write to " + printable(key));
      FUZZ_CHECK(payload == fan::FanSMCTransport::encodeTarget(3000, "fpe2") ||
                     payload == fan::FanSMCTransport::encodeTarget(3000, "flt "),
                 "a target write other than 3000 RPM");
    }
  }
  return 0;
}
