// The simulated Mac's System Management Controller: answers 80-byte parameter records from the world on disk.
#include "sim/simulated_smc.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "sim/simulated_models.h"

namespace tidewarden::sim {
namespace {

using platform::SmcCallResult;
using platform::SmcParameterRecord;

// The parameter record as a real controller reads it. Written here on its own rather
// than shared with the helper's transport, so that the two check each other.
constexpr std::size_t kKey = 0;
constexpr std::size_t kDataSize = 28;
constexpr std::size_t kDataType = 32;
constexpr std::size_t kAttributes = 36;
constexpr std::size_t kResult = 40;
constexpr std::size_t kCommand = 42;
constexpr std::size_t kBytes = 48;
constexpr std::uint32_t kMaxBytes = 32;

constexpr std::uint8_t kReadValue = 5;
constexpr std::uint8_t kWriteValue = 6;
constexpr std::uint8_t kReadKeyInfo = 9;

constexpr std::uint8_t kReadOnly = 0x80;
constexpr std::uint8_t kReadWrite = 0xD4;

// Temperatures below the hottest sensor of a group read this much lower each.
constexpr double kSensorStep = 1.5;

std::uint32_t readUInt32(const SmcParameterRecord& record, std::size_t offset) {
  return static_cast<std::uint32_t>(record[offset]) | (static_cast<std::uint32_t>(record[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(record[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(record[offset + 3]) << 24);
}

void writeUInt32(SmcParameterRecord& record, std::size_t offset, std::uint32_t value) {
  for (std::size_t index = 0; index < 4; ++index) {
    record[offset + index] = static_cast<std::uint8_t>(value >> (8 * index));
  }
}

std::string keyOf(const SmcParameterRecord& record) {
  const std::uint32_t packed = readUInt32(record, kKey);
  return {static_cast<char>(packed >> 24), static_cast<char>(packed >> 16), static_cast<char>(packed >> 8),
          static_cast<char>(packed)};
}

std::uint32_t packType(std::string_view type) {
  std::uint32_t packed = 0;
  for (char character : type) packed = (packed << 8) | static_cast<unsigned char>(character);
  return packed;
}

std::vector<std::uint8_t> encodeNumber(std::string_view type, double value) {
  if (type == "ui8 ") return {static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0))};
  if (type == "fpe2") {
    const auto raw = static_cast<std::uint16_t>(std::clamp(std::round(value * 4.0), 0.0, 65535.0));
    return {static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw)};
  }
  if (type == "sp78") {
    const auto raw = static_cast<std::int16_t>(std::clamp(std::round(value * 256.0), -32768.0, 32767.0));
    const auto bits = static_cast<std::uint16_t>(raw);
    return {static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
  }
  const auto bits = std::bit_cast<std::uint32_t>(static_cast<float>(value));
  return {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits >> 16),
          static_cast<std::uint8_t>(bits >> 24)};
}

// A target written in the fan register format, or nothing for a value no fan takes.
std::optional<double> decodeTarget(std::string_view type, const std::uint8_t* bytes) {
  double value = 0;
  if (type == "fpe2") {
    value = static_cast<double>((bytes[0] << 8) | bytes[1]) / 4.0;
  } else {
    const std::uint32_t bits = static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
                               (static_cast<std::uint32_t>(bytes[2]) << 16) |
                               (static_cast<std::uint32_t>(bytes[3]) << 24);
    value = static_cast<double>(std::bit_cast<float>(bits));
  }
  if (!std::isfinite(value) || value < 0 || value > WorldRecord::kMaxFanRPM) return std::nullopt;
  return value;
}

struct KeyEntry {
  std::string type;
  std::vector<std::uint8_t> bytes;
  std::uint8_t attributes = kReadOnly;
};

// Every key the machine answers right now.
std::map<std::string, KeyEntry> keysOf(const WorldRecord& world, double now) {
  const SmcKeyLayout layout = smcKeyLayoutForBrand(world.machine.cpuBrand);
  std::map<std::string, KeyEntry> keys;
  keys["FNum"] = {"ui8 ", encodeNumber("ui8 ", static_cast<double>(world.smc.fans.size()))};
  for (std::size_t index = 0; index < world.smc.fans.size(); ++index) {
    const WorldFan& fan = world.smc.fans[index];
    const std::string prefix = "F" + std::to_string(index);
    const auto fanValue = [&](double rpm) { return encodeNumber(layout.fanType, rpm); };
    keys[prefix + "Ac"] = {layout.fanType, fanValue(actualRPMAt(fan, world.thermal, now))};
    keys[prefix + "Mn"] = {layout.fanType, fanValue(fan.minimumRPM)};
    keys[prefix + "Mx"] = {layout.fanType, fanValue(fan.maximumRPM)};
    keys[prefix + "Tg"] = {
        layout.fanType, fanValue(fan.mode == 1 ? fan.targetRPM : automaticTargetRPM(fan, world.thermal)), kReadWrite};
    keys[prefix + "Md"] = {"ui8 ", {static_cast<std::uint8_t>(fan.mode)}, kReadWrite};
  }
  if (layout.hasFanTestKey) keys["Ftst"] = {"ui8 ", {0}};
  const auto sensors = [&](const std::vector<std::string>& names, const std::optional<double>& celsius) {
    if (!celsius) return;
    for (std::size_t index = 0; index < names.size(); ++index) {
      keys[names[index]] = {layout.sensorType,
                            encodeNumber(layout.sensorType, *celsius - kSensorStep * static_cast<double>(index))};
    }
  };
  sensors(layout.cpuSensors, world.thermal.cpuCelsius);
  sensors(layout.gpuSensors, world.thermal.gpuCelsius);
  return keys;
}

void settleFan(WorldFan& fan, const WorldThermal& thermal, double now) {
  fan.actualRPM = std::clamp(actualRPMAt(fan, thermal, now), 0.0, WorldRecord::kMaxFanRPM);
  fan.actualAt = now;
}

// Sets a fan's mode register as the controller does: entering manual mode keeps the
// target the fan had, so it does not jump.
void setMode(WorldFan& fan, const WorldThermal& thermal, std::int32_t mode, double now) {
  settleFan(fan, thermal, now);
  if (mode == 1 && fan.mode != 1) fan.targetRPM = automaticTargetRPM(fan, thermal);
  fan.mode = mode;
}

void applyDueTakeovers(WorldRecord& world, double now, bool& changed) {
  std::vector<WorldFanTakeover>& takeovers = world.smc.takeovers;
  if (takeovers.empty()) return;
  changed = true;
  for (auto it = takeovers.begin(); it != takeovers.end();) {
    if (--it->afterCalls > 0) {
      ++it;
      continue;
    }
    applyFanTakeover(world, *it, now);
    it = takeovers.erase(it);
  }
}

std::optional<WorldSmcFault> takeFault(WorldRecord& world, const std::string& key, std::uint8_t command,
                                       bool& changed) {
  std::optional<WorldSmcCommand> kind;
  if (command == kReadValue) kind = WorldSmcCommand::read;
  if (command == kWriteValue) kind = WorldSmcCommand::write;
  if (command == kReadKeyInfo) kind = WorldSmcCommand::info;
  std::vector<WorldSmcFault>& faults = world.smc.faults;
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (it->key && *it->key != key) continue;
    if (it->command && it->command != kind) continue;
    const WorldSmcFault fault = *it;
    if (it->remaining) {
      changed = true;
      if (--*it->remaining <= 0) faults.erase(it);
    }
    return fault;
  }
  return std::nullopt;
}

std::uint8_t write(WorldRecord& world, const std::string& key, const KeyEntry& entry, const SmcParameterRecord& input,
                   double now, bool& changed) {
  if (entry.attributes != kReadWrite) return kSmcResultNotWritable;
  if (readUInt32(input, kDataSize) != entry.bytes.size()) return kSmcResultBadArgument;
  const std::size_t index = static_cast<std::size_t>(key[1] - '0');
  WorldFan& fan = world.smc.fans.at(index);
  if (key.ends_with("Md")) {
    const std::uint8_t mode = input[kBytes];
    if (mode > 1) return kSmcResultBadArgument;
    setMode(fan, world.thermal, mode, now);
  } else {
    const std::optional<double> target = decodeTarget(entry.type, &input[kBytes]);
    if (!target) return kSmcResultBadArgument;
    settleFan(fan, world.thermal, now);
    fan.targetRPM = *target;
  }
  changed = true;
  return 0;
}

}  // namespace

double automaticTargetRPM(const WorldFan& fan, const WorldThermal& thermal) {
  const double celsius = thermal.cpuCelsius.value_or(50.0);
  const double fraction = std::clamp((celsius - 50.0) / 40.0, 0.0, 1.0);
  return fan.minimumRPM + (fan.maximumRPM - fan.minimumRPM) * fraction;
}

double effectiveTargetRPM(const WorldFan& fan, const WorldThermal& thermal) {
  return fan.mode == 1 ? fan.targetRPM : automaticTargetRPM(fan, thermal);
}

double actualRPMAt(const WorldFan& fan, const WorldThermal& thermal, double now) {
  const double elapsed = now - fan.actualAt;
  if (!(elapsed > 0)) return fan.actualRPM;
  const double target = effectiveTargetRPM(fan, thermal);
  return target + (fan.actualRPM - target) * std::exp(-elapsed / kFanSpinTimeConstant);
}

void applyFanTakeover(WorldRecord& world, const WorldFanTakeover& takeover, double now) {
  if (takeover.fan < 0 || static_cast<std::size_t>(takeover.fan) >= world.smc.fans.size()) return;
  WorldFan& fan = world.smc.fans[static_cast<std::size_t>(takeover.fan)];
  if (takeover.mode) setMode(fan, world.thermal, *takeover.mode, now);
  if (takeover.targetRPM) {
    settleFan(fan, world.thermal, now);
    fan.targetRPM = *takeover.targetRPM;
  }
}

void settleFans(WorldRecord& world, double now) {
  for (WorldFan& fan : world.smc.fans) settleFan(fan, world.thermal, now);
}

SmcCallResult answerSmcCall(WorldRecord& world, const SmcParameterRecord& input, double now, bool& changed) {
  applyDueTakeovers(world, now, changed);
  const std::string key = keyOf(input);
  const std::uint8_t command = input[kCommand];

  SmcCallResult result;
  result.outputSize = platform::kSmcParameterRecordSize;
  SmcParameterRecord& output = result.output;
  std::copy_n(input.begin() + kKey, 4, output.begin() + kKey);
  output[kCommand] = command;

  const std::optional<WorldSmcFault> fault = takeFault(world, key, command, changed);
  if (fault && fault->kind == WorldSmcFaultKind::ioError) {
    return SmcCallResult{static_cast<std::int32_t>(fault->value), 0, {}};
  }
  if (fault && fault->kind == WorldSmcFaultKind::result) {
    // The controller refused: nothing it was asked is done.
    output[kResult] = static_cast<std::uint8_t>(fault->value);
    return result;
  }

  const std::map<std::string, KeyEntry> keys = keysOf(world, now);
  const auto entry = keys.find(key);
  const std::uint32_t dataSize = readUInt32(input, kDataSize);
  if (command != kReadValue && command != kWriteValue && command != kReadKeyInfo) {
    output[kResult] = kSmcResultBadCommand;
  } else if (entry == keys.end()) {
    output[kResult] = kSmcResultKeyNotFound;
  } else if (command == kReadKeyInfo) {
    writeUInt32(output, kDataSize, static_cast<std::uint32_t>(entry->second.bytes.size()));
    writeUInt32(output, kDataType, packType(entry->second.type));
    output[kAttributes] = entry->second.attributes;
  } else if (dataSize != entry->second.bytes.size() || dataSize > kMaxBytes) {
    output[kResult] = kSmcResultBadArgument;
  } else if (command == kReadValue) {
    writeUInt32(output, kDataSize, dataSize);
    std::copy(entry->second.bytes.begin(), entry->second.bytes.end(), output.begin() + kBytes);
  } else {
    output[kResult] = write(world, key, entry->second, input, now, changed);
  }
  // A short answer still did what was asked: only the reply was cut.
  if (fault && fault->kind == WorldSmcFaultKind::shortReply) {
    result.outputSize = static_cast<std::size_t>(fault->value);
    std::fill(output.begin() + static_cast<std::ptrdiff_t>(result.outputSize), output.end(), std::uint8_t{0});
  }
  return result;
}

namespace {

class SimulatedSmcConnection final : public platform::SmcConnection {
 public:
  SimulatedSmcConnection(const std::string& worldDirectory, platform::Clock& clock)
      : worldDirectory_(worldDirectory), clock_(clock) {}

  SmcCallResult call(const SmcParameterRecord& input) override {
    try {
      const double now = clock_.now();
      // Most calls only read: answer from the world as it is, without the lock. A
      // call that changes the world is answered again under the lock, from the world
      // as it is then, and stored.
      WorldRecord world = World::read(worldDirectory_);
      bool changed = false;
      SmcCallResult result = answerSmcCall(world, input, now, changed);
      if (!changed) return result;
      World::update(worldDirectory_, [&](WorldRecord& locked) {
        bool again = false;
        result = answerSmcCall(locked, input, now, again);
      });
      return result;
    } catch (const std::exception&) {
      // A world that cannot be read or stored is a controller that does not answer.
      return SmcCallResult{kSmcNotResponding, 0, {}};
    }
  }

 private:
  const std::string worldDirectory_;
  platform::Clock& clock_;
};

}  // namespace

SimulatedSmc::SimulatedSmc(std::string worldDirectory, platform::Clock& clock)
    : worldDirectory_(std::move(worldDirectory)), clock_(clock) {}

platform::SmcClient::OpenResult SimulatedSmc::open() {
  return {OpenStatus::opened, std::make_unique<SimulatedSmcConnection>(worldDirectory_, clock_)};
}

}  // namespace tidewarden::sim
