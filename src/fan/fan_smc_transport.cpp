// The only code that talks to the System Management Controller: typed key reads, the two fan writes, the event log.
#include "fan/fan_smc_transport.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "fan/fan_control_error.h"
#include "fan/fan_inventory_validity.h"
#include "fan/fan_text.h"

namespace tidewarden::fan {

namespace smc_record {

void putUInt32(platform::SmcParameterRecord& record, std::size_t offset, std::uint32_t value) {
  for (std::size_t index = 0; index < 4; ++index) {
    record[offset + index] = static_cast<std::uint8_t>(value >> (8 * index));
  }
}

std::uint32_t uint32At(const platform::SmcParameterRecord& record, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t index = 0; index < 4; ++index) {
    value |= static_cast<std::uint32_t>(record[offset + index]) << (8 * index);
  }
  return value;
}

void putFourCC(platform::SmcParameterRecord& record, std::size_t offset, std::string_view code) {
  std::uint32_t packed = 0;
  for (std::size_t index = 0; index < 4; ++index) {
    const auto character = index < code.size() ? static_cast<std::uint8_t>(code[index]) : std::uint8_t{0};
    packed = (packed << 8) | character;
  }
  putUInt32(record, offset, packed);
}

std::string fourCC(const platform::SmcParameterRecord& record, std::size_t offset) {
  const std::uint32_t packed = uint32At(record, offset);
  std::string code;
  for (int shift = 24; shift >= 0; shift -= 8) code.push_back(static_cast<char>((packed >> shift) & 0xFF));
  return code;
}

}  // namespace smc_record

namespace {

constexpr const char* kInvalidRequest = "Invalid native fan request.";
constexpr const char* kFanOnlyWrite = "A fan-only write was refused.";
constexpr const char* kUnsupportedInterface =
    "This Mac does not expose the supported per-fan mode/target interface. Monitoring remains available. "
    "Alternative force/test protocols are not enabled.";

constexpr double kMinimumTargetRPM = 600;
// fpe2 holds 14 integral bits: 16384 RPM and above cannot be written.
constexpr double kFpe2Limit = 16384;
// A temperature outside (0, 140) °C is not a reading.
constexpr double kMaxPlausibleCelsius = 140;

bool isPrintable(char character) {
  const auto byte = static_cast<unsigned char>(character);
  return byte >= 0x20 && byte <= 0x7E;
}

// "^F[0-7](Md|Tg)$": the only keys a write may name.
bool isFanWriteKey(std::string_view key) {
  return key.size() == 4 && key[0] == 'F' && key[1] >= '0' && key[1] <= '7' &&
         (key.substr(2) == "Md" || key.substr(2) == "Tg");
}

// "^Apple NAME(?: |$)": the family name alone, or followed by a space and a variant.
bool isFamily(std::string_view chip, std::string_view family) {
  return chip == family || chip.starts_with(std::string(family) + " ");
}

bool containsCaseInsensitive(std::string_view text, std::string_view needle) {
  const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  return std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                     [&](char a, char b) { return lower(a) == lower(b); }) != text.end();
}

}  // namespace

FanSMCTransport::FanSMCTransport(platform::SmcClient& client) {
  platform::SmcClient::OpenResult opened = client.open();
  switch (opened.status) {
    case platform::SmcClient::OpenStatus::opened:
      if (opened.connection) {
        connection_ = std::move(opened.connection);
        return;
      }
      break;
    case platform::SmcClient::OpenStatus::accessDenied:
      throw FanControlError::refused("Native fan-control access was denied.");
    case platform::SmcClient::OpenStatus::serviceUnavailable:
      break;
  }
  throw FanControlError::refused("AppleSMC is unavailable.");
}

platform::SmcParameterRecord FanSMCTransport::callSMC(std::string_view key, std::uint8_t command,
                                                      std::uint32_t dataSize, std::span<const std::uint8_t> payload,
                                                      bool recordRefusal) {
  using namespace smc_record;
  const bool knownCommand = command == kReadValue || command == kWriteValue || command == kReadKeyInfo;
  if (key.size() != 4 || !std::all_of(key.begin(), key.end(), isPrintable) || !knownCommand ||
      dataSize > kMaxValueBytes) {
    throw FanControlError::refused(kInvalidRequest);
  }
  if (command == kWriteValue) {
    if (!isFanWriteKey(key) || dataSize == 0 || payload.size() != dataSize) {
      throw FanControlError::refused(kFanOnlyWrite);
    }
  } else if (!payload.empty()) {
    // Only a write carries value bytes.
    throw FanControlError::refused(kInvalidRequest);
  }

  platform::SmcParameterRecord input{};
  putFourCC(input, kKeyOffset, key);
  putUInt32(input, kDataSizeOffset, dataSize);
  input[kCommandOffset] = command;
  std::copy(payload.begin(), payload.end(), input.begin() + kBytesOffset);

  const platform::SmcCallResult result = connection_->call(input);
  // Bytes the controller did not answer are not its answer.
  platform::SmcParameterRecord output{};
  const std::size_t answered = std::min(result.outputSize, platform::kSmcParameterRecordSize);
  std::copy_n(result.output.begin(), answered, output.begin());

  const std::string detail =
      "key=" + std::string(key) + ", command=" + std::to_string(command) +
      ", I/O=" + std::to_string(result.kernelReturn) + ", SMC result=" + std::to_string(output[kResultOffset]) +
      ", SMC status=" + std::to_string(output[kStatusOffset]) + ", reply bytes=" + std::to_string(result.outputSize);
  if (command == kWriteValue) recordEvent("WRITE " + detail + ", payload=[" + hexBytes(payload) + "]");
  if (result.kernelReturn == 0 && result.outputSize == platform::kSmcParameterRecordSize &&
      output[kResultOffset] == 0) {
    return output;
  }
  lastRefusal_ = detail;
  if (recordRefusal) recordEvent("REFUSED " + detail);
  throw FanControlError::refused("The controller refused a fan operation (" + detail +
                                 "). No alternative key, encoding or controller bypass was attempted.");
}

FanSMCTransport::Value FanSMCTransport::readValue(std::string_view key) {
  return readValue(key, /*recordRefusal=*/true);
}

FanSMCTransport::Value FanSMCTransport::readValue(std::string_view key, bool recordRefusal) {
  using namespace smc_record;
  const platform::SmcParameterRecord info = callSMC(key, kReadKeyInfo, 0, {}, recordRefusal);
  const std::uint32_t size = uint32At(info, kDataSizeOffset);
  if (size < 1 || size > kMaxValueBytes) throw FanControlError::refused("Unsupported fan metadata.");
  Value value;
  value.type = fourCC(info, kDataTypeOffset);
  if (!std::all_of(value.type.begin(), value.type.end(), isPrintable)) value.type.clear();
  value.attributes = info[kAttributesOffset];
  const platform::SmcParameterRecord data = callSMC(key, kReadValue, size, {}, recordRefusal);
  value.bytes.assign(data.begin() + kBytesOffset, data.begin() + kBytesOffset + size);
  return value;
}

void FanSMCTransport::writeValue(std::string_view key, std::span<const std::uint8_t> payload) {
  // An oversized payload is passed on as too large, never truncated to a size that fits.
  const std::uint32_t size = payload.size() <= smc_record::kMaxValueBytes
                                 ? static_cast<std::uint32_t>(payload.size())
                                 : static_cast<std::uint32_t>(smc_record::kMaxValueBytes + 1);
  callSMC(key, smc_record::kWriteValue, size, payload, /*recordRefusal=*/true);
}

std::optional<double> FanSMCTransport::decodeValue(std::string_view type, std::span<const std::uint8_t> bytes) {
  if (type == "ui8 " && bytes.size() == 1) return static_cast<double>(bytes[0]);
  if (type == "fpe2" && bytes.size() == 2) {
    return static_cast<double>(static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1])) / 4.0;
  }
  if (type == "sp78" && bytes.size() == 2) {
    return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]))) /
           256.0;
  }
  if (type == "flt " && bytes.size() == 4) {
    const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                               (static_cast<std::uint32_t>(bytes[2]) << 16) |
                               (static_cast<std::uint32_t>(bytes[3]) << 24);
    const float number = std::bit_cast<float>(bits);
    if (!std::isfinite(number)) return std::nullopt;
    return static_cast<double>(number);
  }
  return std::nullopt;
}

std::vector<std::uint8_t> FanSMCTransport::encodeTarget(double rpm, std::string_view type) {
  if (!std::isfinite(rpm) || rpm < kMinimumTargetRPM || rpm > kMaxPlausibleRPM) {
    throw FanControlError::refused("Invalid requested RPM.");
  }
  if (type == "fpe2") {
    // std::round rounds halves away from zero. Just below the limit the rounded value
    // can reach 65536, which two bytes cannot hold either.
    const double quarters = std::round(rpm * 4.0);
    if (rpm >= kFpe2Limit || quarters > 0xFFFF) throw FanControlError::refused("RPM exceeds the target encoding.");
    const auto raw = static_cast<std::uint16_t>(quarters);
    return {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw & 0xFF)};
  }
  if (type == "flt ") {
    const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(rpm));
    return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
            static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
  }
  throw FanControlError::refused("Fan target encoding is unsupported; no alternate write was attempted.");
}

std::string FanSMCTransport::describeValue(const Value& value) {
  const std::optional<double> number = decodeValue(value.type, value.bytes);
  const std::size_t shown = std::min<std::size_t>(value.bytes.size(), smc_record::kMaxValueBytes);
  return "type=" + value.type + ", value=" + (number ? formatFixed3(*number) : std::string("unreadable")) +
         ", bytes=[" + hexBytes(std::span(value.bytes).first(shown)) + "]";
}

TemperatureKeys FanSMCTransport::temperatureKeys(std::string_view chip) {
  if (containsCaseInsensitive(chip, "Intel")) return {{"TC0P", "TC0D", "TCAD"}, {"TG0P", "TG0D", "TCGC"}};
  if (!chip.starts_with("Apple ")) return {};
  if (isFamily(chip, "Apple M1")) {
    return {{"Tp09", "Tp0T", "Tp01", "Tp05", "Tp0D", "Tp0H", "Tp0L", "Tp0P", "Tp0X", "Tp0b"},
            {"Tg05", "Tg0D", "Tg0L", "Tg0T"}};
  }
  if (isFamily(chip, "Apple M2")) {
    return {{"Tp1h", "Tp1t", "Tp1p", "Tp1l", "Tp01", "Tp05", "Tp09", "Tp0D", "Tp0X", "Tp0b", "Tp0f", "Tp0j"},
            {"Tg0f", "Tg0j"}};
  }
  if (isFamily(chip, "Apple M3")) {
    return {{"Te05", "Te0L", "Te0P", "Te0S", "Tf04", "Tf09", "Tf0A", "Tf0B", "Tf0D", "Tf0E"},
            {"Tf14", "Tf18", "Tf19", "Tf1A"}};
  }
  if (isFamily(chip, "Apple M4")) {
    TemperatureKeys keys{
        {"Te05", "Te0S", "Te09", "Te0H", "Tp01", "Tp05", "Tp09", "Tp0D", "Tp0V", "Tp0Y", "Tp0b", "Tp0e"}, {}};
    // The base chip and its variants ("Apple M4 Pro", "Apple M4 Max") place their
    // GPU sensors differently.
    keys.gpu = chip == "Apple M4" ? std::vector<std::string>{"Tg0G", "Tg0H", "Tg0K", "Tg0L"}
                                  : std::vector<std::string>{"Tg1U", "Tg1k", "Tg0K", "Tg0L"};
    return keys;
  }
  return {};
}

std::vector<FanControlFan> FanSMCTransport::readFanInventory() {
  const Value count = readValue("FNum");
  const std::optional<double> fanCount = decodeValue(count.type, count.bytes);
  if (count.type != "ui8 " || !fanCount || *fanCount > static_cast<double>(kMaxFanCount)) {
    throw FanControlError::refused("Fan count is unknown or unsupported.");
  }
  std::vector<FanControlFan> fans;
  const int total = static_cast<int>(*fanCount);
  for (int index = 0; index < total; ++index) {
    double readings[4] = {};
    const char* const suffixes[4] = {"Ac", "Mn", "Mx", "Tg"};
    for (int which = 0; which < 4; ++which) {
      const Value value = readValue(fanKey(index, suffixes[which]));
      const std::optional<double> number = decodeValue(value.type, value.bytes);
      if ((value.type != "flt " && value.type != "fpe2") || !number) {
        throw FanControlError::refused(kUnsupportedInterface);
      }
      readings[which] = *number;
    }
    const Value mode = readValue(fanKey(index, "Md"));
    const std::optional<double> modeNumber = decodeValue(mode.type, mode.bytes);
    if (mode.type != "ui8 " || !modeNumber || *modeNumber > 1) throw FanControlError::refused(kUnsupportedInterface);
    fans.push_back(FanControlFan{index, "Fan " + std::to_string(index + 1), readings[0], readings[1], readings[2],
                                 readings[3], *modeNumber == 1});
  }
  if (!fans.empty() && !isValidFanInventory(fans)) {
    throw FanControlError::refused("Fan limits or readings are invalid.");
  }
  return fans;
}

std::optional<double> FanSMCTransport::readTemperature(const std::vector<std::string>& keys) {
  std::optional<double> highest;
  for (const std::string& key : keys) {
    Value value;
    try {
      lastRefusal_.reset();
      value = readValue(key, /*recordRefusal=*/false);
    } catch (const FanControlError& error) {
      if (loggedSensorKeys_.insert(key).second) {
        recordEvent((lastRefusal_ ? "REFUSED " + *lastRefusal_ : "SENSOR " + key + ": " + error.what()) +
                    "; sensor skipped, its refusals are not logged again in this session");
      }
      continue;
    }
    if (value.type != "sp78" && value.type != "flt ") continue;
    const std::optional<double> celsius = decodeValue(value.type, value.bytes);
    if (!celsius || !(*celsius > 0) || !(*celsius < kMaxPlausibleCelsius)) continue;
    if (!highest || *celsius > *highest) highest = celsius;
  }
  return highest;
}

std::vector<std::string> FanSMCTransport::captureInterfaceMetadata() {
  using namespace smc_record;
  std::vector<std::string> keys{"FNum"};
  try {
    const Value count = readValue("FNum", /*recordRefusal=*/false);
    const std::optional<double> fanCount = decodeValue(count.type, count.bytes);
    if (count.type == "ui8 " && fanCount && *fanCount <= static_cast<double>(kMaxFanCount)) {
      for (int index = 0; index < static_cast<int>(*fanCount); ++index) {
        for (const char* suffix : {"Md", "md", "Tg", "Ac", "Mn", "Mx"}) keys.push_back(fanKey(index, suffix));
      }
    }
  } catch (const FanControlError&) {
    // Without a fan count only FNum itself and Ftst are described.
  }
  keys.push_back("Ftst");

  std::vector<std::string> lines;
  for (const std::string& key : keys) {
    std::string line;
    try {
      const platform::SmcParameterRecord info = callSMC(key, kReadKeyInfo, 0, {}, /*recordRefusal=*/false);
      std::string type = fourCC(info, kDataTypeOffset);
      if (!std::all_of(type.begin(), type.end(), isPrintable)) type = "unreadable";
      const std::string attributes = hexBytes(std::span(info).subspan(kAttributesOffset, 1));
      line = "KEY INFO " + key + ": type=" + type + ", bytes=" + std::to_string(uint32At(info, kDataSizeOffset)) +
             ", attributes=0x" + attributes + "; metadata only, not a write-capability verdict";
    } catch (const FanControlError& error) {
      line = "KEY INFO " + key + ": unavailable \u2014 " + error.what();
    }
    lines.push_back(prefixCharacters(line, kMaxEventCharacters));
  }
  return lines;
}

std::string FanSMCTransport::fanKey(int index, std::string_view suffix) {
  return "F" + std::to_string(index) + std::string(suffix);
}

void FanSMCTransport::recordEvent(std::string_view text) {
  writeEvents_.push_back(prefixCharacters(text, kMaxEventCharacters));
  while (writeEvents_.size() > kMaxEvents) writeEvents_.pop_front();
}

}  // namespace tidewarden::fan
