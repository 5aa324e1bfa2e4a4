// What Linux says about the machine in its own files: CPU brand, model, OS version, machine id, thermal zones.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_power.h"
#include "platform/unique_fd.h"

namespace tidewarden::platform::linux_files {

// The text after "model name :" on the first such line of /proc/cpuinfo, trimmed;
// nothing when there is none or it is empty.
std::optional<std::string> cpuBrandFromCpuinfo(std::string_view cpuinfo);
// /etc/machine-id: exactly 32 lower-case hexadecimal digits, then an optional line
// feed; the all-zero id (a machine not yet set up) is refused.
std::optional<std::string> machineIdFrom(std::string_view text);
// PRETTY_NAME of /etc/os-release, unquoted; nothing when absent or empty.
std::optional<std::string> prettyNameFromOsRelease(std::string_view text);
// A DMI text file (/sys/class/dmi/id/product_name): its first line, trimmed.
std::optional<std::string> firstLineOf(std::string_view text);

// One trip point of a thermal zone: its type ("critical", "hot", "passive",
// "active") and temperature in millidegrees Celsius.
struct TripPoint {
  std::string type;
  long long milliCelsius = 0;
};
// A millidegree value as the kernel writes it (an optional minus, digits, a line feed).
std::optional<long long> milliCelsiusFrom(std::string_view text);
// Pressure of one zone at `milliCelsius`: at or above a critical trip point critical,
// a hot one serious, a passive one (the kernel starts throttling) fair, else nominal.
// Active trip points only switch fans on and are not pressure.
ThermalState zoneState(long long milliCelsius, const std::vector<TripPoint>& trips);

// The whole file at `logicalPath` beneath `root` (read without following links), at
// most `maxBytes`; nothing when it cannot be read.
std::optional<std::string> readBeneath(const UniqueFd& root, std::string_view logicalPath, std::size_t maxBytes);
// The worst pressure over every thermal zone beneath `root`
// (/sys/devices/virtual/thermal/thermal_zone*, what /sys/class/thermal links to) whose
// temperature reads, judged by the trip points that read; nominal when there is none.
ThermalState thermalStateBeneath(const UniqueFd& root);

}  // namespace tidewarden::platform::linux_files
