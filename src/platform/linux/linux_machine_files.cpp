// What Linux says about the machine in its own files: CPU brand, model, OS version, machine id, thermal zones.
#include "platform/linux/linux_machine_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>

#include "platform/file_io.h"

namespace tidewarden::platform::linux_files {
namespace {

constexpr std::size_t kSmallFileBytes = 4096;
// Zones and trip points looked at; machines have a handful of each.
constexpr int kMaxZones = 64;
constexpr int kMaxTripPoints = 32;

std::string_view trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Each line of `text` in turn, without its line feed.
template <class F>
void forEachLine(std::string_view text, F&& visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (!visit(text.substr(0, end))) return;
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

bool printableText(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

}  // namespace

std::optional<std::string> cpuBrandFromCpuinfo(std::string_view cpuinfo) {
  std::optional<std::string> brand;
  forEachLine(cpuinfo, [&](std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || trim(line.substr(0, colon)) != "model name") return true;
    const std::string_view value = trim(line.substr(colon + 1));
    if (!value.empty() && printableText(value)) brand = std::string(value);
    return false;
  });
  return brand;
}

std::optional<std::string> machineIdFrom(std::string_view text) {
  if (text.size() == 33 && text.back() == '\n') text.remove_suffix(1);
  if (text.size() != 32) return std::nullopt;
  const bool hex = std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
  if (!hex || text == std::string(32, '0')) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> prettyNameFromOsRelease(std::string_view text) {
  std::optional<std::string> name;
  forEachLine(text, [&](std::string_view line) {
    if (!line.starts_with("PRETTY_NAME=")) return true;
    std::string_view value = trim(line.substr(12));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    if (!value.empty() && printableText(value)) name = std::string(value);
    return false;
  });
  return name;
}

std::optional<std::string> firstLineOf(std::string_view text) {
  const std::string_view line = trim(text.substr(0, text.find('\n')));
  if (line.empty() || !printableText(line)) return std::nullopt;
  return std::string(line);
}

std::optional<long long> milliCelsiusFrom(std::string_view text) {
  text = trim(text);
  long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

ThermalState zoneState(long long milliCelsius, const std::vector<TripPoint>& trips) {
  ThermalState state = ThermalState::nominal;
  for (const TripPoint& trip : trips) {
    if (milliCelsius < trip.milliCelsius) continue;
    ThermalState reached = ThermalState::nominal;
    if (trip.type == "critical") reached = ThermalState::critical;
    if (trip.type == "hot") reached = ThermalState::serious;
    if (trip.type == "passive") reached = ThermalState::fair;
    state = std::max(state, reached);
  }
  return state;
}

std::optional<std::string> readBeneath(const UniqueFd& root, std::string_view logicalPath, std::size_t maxBytes) {
  const UniqueFd file = openBeneath(root, logicalPath, O_RDONLY);
  std::string text;
  if (!file || !readAll(file.get(), text, maxBytes)) return std::nullopt;
  return text;
}

ThermalState thermalStateBeneath(const UniqueFd& root) {
  // /sys/class/thermal lists the zones as symbolic links, which no open here follows;
  // the zones themselves are devices without a parent, so they all live here.
  const std::string base = "/sys/devices/virtual/thermal";
  UniqueFd directory = openBeneath(root, base, O_RDONLY | O_DIRECTORY);
  if (!directory) return ThermalState::nominal;
  DIR* stream = ::fdopendir(directory.get());
  if (stream == nullptr) return ThermalState::nominal;
  (void)directory.release();  // the stream owns it now
  std::vector<std::string> zones;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name.starts_with("thermal_zone") && zones.size() < static_cast<std::size_t>(kMaxZones)) {
      zones.emplace_back(name);
    }
  }
  ::closedir(stream);

  ThermalState worst = ThermalState::nominal;
  for (const std::string& zone : zones) {
    const std::string path = base + "/" + zone;
    const auto temperature = readBeneath(root, path + "/temp", kSmallFileBytes);
    const std::optional<long long> milliCelsius = temperature ? milliCelsiusFrom(*temperature) : std::nullopt;
    if (!milliCelsius) continue;
    std::vector<TripPoint> trips;
    for (int index = 0; index < kMaxTripPoints; ++index) {
      const std::string trip = path + "/trip_point_" + std::to_string(index);
      const auto type = readBeneath(root, trip + "_type", kSmallFileBytes);
      if (!type) break;
      const auto value = readBeneath(root, trip + "_temp", kSmallFileBytes);
      const std::optional<long long> tripMilliCelsius = value ? milliCelsiusFrom(*value) : std::nullopt;
      if (tripMilliCelsius) trips.push_back({std::string(trim(*type)), *tripMilliCelsius});
    }
    worst = std::max(worst, zoneState(*milliCelsius, trips));
  }
  return worst;
}

}  // namespace tidewarden::platform::linux_files
