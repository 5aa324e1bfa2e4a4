// An in-memory System Management Controller for tests: registers, a record of every call, scripted answers.
#include "support/fake_smc.h"

#include <bit>
#include <cmath>

#include "fan/fan_smc_transport.h"
#include "platform/clock.h"

namespace tidewarden::testing {
namespace {

namespace record = fan::smc_record;

class FakeConnection final : public platform::SmcConnection {
 public:
  explicit FakeConnection(FakeSmc& smc) : smc_(smc) {}
  platform::SmcCallResult call(const platform::SmcParameterRecord& input) override { return smc_.answer(input); }

 private:
  FakeSmc& smc_;
};

}  // namespace

FakeSmc::Key FakeSmc::fpe2(double value) {
  const auto raw = static_cast<std::uint16_t>(std::lround(value * 4));
  return {"fpe2", {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)}};
}

FakeSmc::Key FakeSmc::flt(double value) {
  const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  return {"flt ",
          {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits >> 16),
           static_cast<std::uint8_t>(bits >> 24)}};
}

FakeSmc::Key FakeSmc::sp78(double value) {
  const auto raw = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(value * 256)));
  return {"sp78", {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)}};
}

void FakeSmc::addFan(int index, const std::string& type, double actual, double minimum, double maximum, double target,
                     std::uint8_t mode) {
  const auto value = [&](double rpm) { return type == "fpe2" ? fpe2(rpm) : flt(rpm); };
  const std::string prefix = "F" + std::to_string(index);
  keys[prefix + "Ac"] = value(actual);
  keys[prefix + "Mn"] = value(minimum);
  keys[prefix + "Mx"] = value(maximum);
  keys[prefix + "Tg"] = value(target);
  keys[prefix + "Tg"].attributes = 0xD4;
  keys[prefix + "Md"] = ui8(mode);
  keys[prefix + "Md"].attributes = 0xD4;
  const std::uint8_t count = keys.contains("FNum") ? keys["FNum"].bytes[0] : 0;
  keys["FNum"] = ui8(static_cast<std::uint8_t>(count + 1));
}

platform::SmcClient::OpenResult FakeSmc::open() {
  if (openStatus != OpenStatus::opened) return {openStatus, nullptr};
  return {OpenStatus::opened, std::make_unique<FakeConnection>(*this)};
}

std::string FakeSmc::keyOf(std::size_t call) const { return record::fourCC(received.at(call), record::kKeyOffset); }

std::vector<std::string> FakeSmc::writtenKeys() const {
  std::vector<std::string> written;
  for (std::size_t call = 0; call < received.size(); ++call) {
    if (received[call][record::kCommandOffset] == record::kWriteValue) written.push_back(keyOf(call));
  }
  return written;
}

platform::SmcCallResult FakeSmc::answer(const platform::SmcParameterRecord& input) {
  received.push_back(input);
  if (clock != nullptr && secondsPerCall > 0) clock->sleepFor(secondsPerCall);
  if (beforeAnswer) {
    if (std::optional<platform::SmcCallResult> scripted = beforeAnswer(input)) return *scripted;
  }
  platform::SmcCallResult result;
  result.outputSize = platform::kSmcParameterRecordSize;
  platform::SmcParameterRecord& output = result.output;
  const std::uint8_t command = input[record::kCommandOffset];
  const std::uint32_t size = record::uint32At(input, record::kDataSizeOffset);
  const auto found = keys.find(record::fourCC(input, record::kKeyOffset));
  if (found == keys.end()) {
    output[record::kResultOffset] = 0x84;
    return result;
  }
  Key& entry = found->second;
  if (command == record::kReadKeyInfo) {
    record::putUInt32(output, record::kDataSizeOffset, static_cast<std::uint32_t>(entry.bytes.size()));
    record::putFourCC(output, record::kDataTypeOffset, entry.type);
    output[record::kAttributesOffset] = entry.attributes;
  } else if (size != entry.bytes.size() || size > record::kMaxValueBytes) {
    output[record::kResultOffset] = 0x89;
  } else if (command == record::kReadValue) {
    std::copy(entry.bytes.begin(), entry.bytes.end(), output.begin() + record::kBytesOffset);
  } else if (command == record::kWriteValue) {
    entry.bytes.assign(input.begin() + record::kBytesOffset, input.begin() + record::kBytesOffset + size);
  } else {
    output[record::kResultOffset] = 0x8A;
  }
  return result;
}

}  // namespace tidewarden::testing
