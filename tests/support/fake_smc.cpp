// An in-memory System Management Controller for tests: registers, a record of every call, scripted answers.
#include "support/fake_smc.h"

#include <bit>
#include <cmath>

#include "platform/clock.h"

namespace tidewarden::testing {
namespace {

std::uint32_t readUInt32(const platform::SmcParameterRecord& record, std::size_t offset) {
  return static_cast<std::uint32_t>(record[offset]) | (static_cast<std::uint32_t>(record[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(record[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(record[offset + 3]) << 24);
}

void writeUInt32(platform::SmcParameterRecord& record, std::size_t offset, std::uint32_t value) {
  for (std::size_t index = 0; index < 4; ++index) record[offset + index] = static_cast<std::uint8_t>(value >> (8 * index));
}

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
  return {"flt ", {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                   static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)}};
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

std::string FakeSmc::keyOf(std::size_t call) const {
  const std::uint32_t packed = readUInt32(received.at(call), 0);
  return {static_cast<char>(packed >> 24), static_cast<char>(packed >> 16), static_cast<char>(packed >> 8),
          static_cast<char>(packed)};
}

std::uint8_t FakeSmc::commandOf(std::size_t call) const { return received.at(call)[42]; }

std::vector<std::string> FakeSmc::writtenKeys() const {
  std::vector<std::string> written;
  for (std::size_t call = 0; call < received.size(); ++call) {
    if (commandOf(call) == 6) written.push_back(keyOf(call));
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
  const std::string key = keyOf(received.size() - 1);
  const std::uint8_t command = input[42];
  const std::uint32_t size = readUInt32(input, 28);
  const auto found = keys.find(key);
  if (found == keys.end()) {
    output[40] = 0x84;
    return result;
  }
  Key& entry = found->second;
  if (command == 9) {
    writeUInt32(output, 28, static_cast<std::uint32_t>(entry.bytes.size()));
    std::uint32_t packed = 0;
    for (char character : entry.type) packed = (packed << 8) | static_cast<unsigned char>(character);
    writeUInt32(output, 32, packed);
    output[36] = entry.attributes;
  } else if (size != entry.bytes.size()) {
    output[40] = 0x89;
  } else if (command == 5) {
    std::copy(entry.bytes.begin(), entry.bytes.end(), output.begin() + 48);
  } else if (command == 6) {
    entry.bytes.assign(input.begin() + 48, input.begin() + 48 + size);
  } else {
    output[40] = 0x8A;
  }
  return result;
}

}  // namespace tidewarden::testing
