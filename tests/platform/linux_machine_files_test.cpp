// The Linux machine files: parsers on sample text, thermal zones and process facts on a temporary root.
#include "platform/linux/linux_machine_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/linux/linux_process_facts.h"
#include "support/temp_dir.h"

namespace tidewarden::platform {
namespace {

namespace fs = std::filesystem;
using namespace linux_files;

TEST(LinuxMachineFiles, ParsersTakeOnlyWellFormedValues) {
  const std::string cpuinfo =
      "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz  \n"
      "processor\t: 1\nmodel name\t: Other\n";
  EXPECT_EQ(cpuBrandFromCpuinfo(cpuinfo), "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz");
  EXPECT_EQ(cpuBrandFromCpuinfo("processor\t: 0\nmodel\t: 158\n"), std::nullopt);
  EXPECT_EQ(cpuBrandFromCpuinfo("model name\t:   \n"), std::nullopt);
  EXPECT_EQ(cpuBrandFromCpuinfo("model name\t: a\x01" "b\n"), std::nullopt);

  const std::string id = "0123456789abcdef0123456789abcdef";
  EXPECT_EQ(machineIdFrom(id + "\n"), id);
  EXPECT_EQ(machineIdFrom(id), id);
  EXPECT_EQ(machineIdFrom("0123456789ABCDEF0123456789ABCDEF\n"), std::nullopt);
  EXPECT_EQ(machineIdFrom(id.substr(1) + "\n"), std::nullopt);
  EXPECT_EQ(machineIdFrom(id + "\n\n"), std::nullopt);
  EXPECT_EQ(machineIdFrom(std::string(32, '0') + "\n"), std::nullopt);
  EXPECT_EQ(machineIdFrom("uninitialized\n"), std::nullopt);

  EXPECT_EQ(prettyNameFromOsRelease("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(prettyNameFromOsRelease("PRETTY_NAME=Plain\n"), "Plain");
  EXPECT_EQ(prettyNameFromOsRelease("NAME=Debian\n"), std::nullopt);
  EXPECT_EQ(prettyNameFromOsRelease("PRETTY_NAME=\"\"\n"), std::nullopt);
  EXPECT_EQ(firstLineOf(" MacBookPro16,1 \nsecond"), "MacBookPro16,1");
  EXPECT_EQ(firstLineOf("\n"), std::nullopt);

  EXPECT_EQ(milliCelsiusFrom("45000\n"), 45000);
  EXPECT_EQ(milliCelsiusFrom("-5000\n"), -5000);
  for (const char* bad : {"", "\n", "45.5\n", "+45000", "45000x", "99999999999999999999"}) {
    EXPECT_EQ(milliCelsiusFrom(bad), std::nullopt) << bad;
  }
}

TEST(LinuxMachineFiles, ATripPointReachedSetsThePressureOfItsKind) {
  const std::vector<TripPoint> trips = {
      {"active", 50000}, {"passive", 85000}, {"hot", 95000}, {"critical", 105000}};
  EXPECT_EQ(zoneState(84999, trips), ThermalState::nominal);  // past the active point only
  EXPECT_EQ(zoneState(85000, trips), ThermalState::fair);
  EXPECT_EQ(zoneState(95000, trips), ThermalState::serious);
  EXPECT_EQ(zoneState(105000, trips), ThermalState::critical);
  EXPECT_EQ(zoneState(200000, {{"weird", 0}}), ThermalState::nominal);
}

class LinuxRootTest : public ::testing::Test {
 protected:
  LinuxRootTest() : root_(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
  void put(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(dir_.path() + path).parent_path());
    std::ofstream(dir_.path() + path) << text;
  }
  // A zone with its temperature and (type, temperature) trip points.
  void zone(const std::string& name, const std::string& temperature,
            const std::vector<std::pair<std::string, std::string>>& trips) {
    const std::string base = "/sys/devices/virtual/thermal/" + name;
    put(base + "/temp", temperature);
    for (std::size_t i = 0; i < trips.size(); ++i) {
      put(base + "/trip_point_" + std::to_string(i) + "_type", trips[i].first + "\n");
      put(base + "/trip_point_" + std::to_string(i) + "_temp", trips[i].second + "\n");
    }
  }

  testing::TempDir dir_;
  UniqueFd root_;
};

TEST_F(LinuxRootTest, TheWorstZoneDecidesAndLinksAreNotFollowed) {
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::nominal);  // no zones at all
  zone("thermal_zone0", "60000\n", {{"passive", "85000"}, {"critical", "105000"}});
  zone("thermal_zone1", "unreadable\n", {{"critical", "0"}});  // a zone without a temperature is skipped
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::nominal);
  zone("thermal_zone2", "96000\n", {{"active", "40000"}, {"hot", "95000"}});
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::serious);

  // A zone that is a link elsewhere is not read.
  zone("../../../../elsewhere/thermal_zone9", "120000\n", {{"critical", "100000"}});
  fs::create_directory_symlink(dir_.path() + "/elsewhere/thermal_zone9",
                               dir_.path() + "/sys/devices/virtual/thermal/thermal_zone3");
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::serious);
  zone("thermal_zone4", "105000\n", {{"critical", "105000"}});
  EXPECT_EQ(thermalStateBeneath(root_), ThermalState::critical);
}

TEST_F(LinuxRootTest, ProcessFactsComeFromTheFilesBeneathTheRoot) {
  const auto facts = makeLinuxProcessFacts(root_);
  EXPECT_EQ(facts->cpuBrand(), "");
  EXPECT_EQ(facts->modelIdentifier(), "Unknown");
  EXPECT_EQ(facts->deviceIdentifier(), std::nullopt);
  EXPECT_TRUE(facts->osVersion().starts_with("Linux (kernel ")) << facts->osVersion();

  put("/proc/cpuinfo", "processor\t: 0\nmodel name\t: Apple M4 Pro\n");
  put("/sys/class/dmi/id/product_name", "Mac16,8\n");
  put("/etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  put("/elsewhere/machine-id", "0123456789abcdef0123456789abcdef\n");
  fs::create_symlink(dir_.path() + "/elsewhere/machine-id", dir_.path() + "/etc/machine-id");
  EXPECT_EQ(facts->cpuBrand(), "Apple M4 Pro");
  EXPECT_EQ(facts->modelIdentifier(), "Mac16,8");
  EXPECT_TRUE(facts->osVersion().starts_with("Debian GNU/Linux 12 (bookworm) (kernel ")) << facts->osVersion();
  EXPECT_EQ(facts->deviceIdentifier(), std::nullopt);  // a link is not followed

  fs::remove(dir_.path() + "/etc/machine-id");
  put("/etc/machine-id", "0123456789abcdef0123456789abcdef\n");
  EXPECT_EQ(facts->deviceIdentifier(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(facts->realUserId(), ::getuid());

  // Accounts come from the machine's own database (not the files beneath the root).
  EXPECT_EQ(facts->userName(0), "root");
  EXPECT_EQ(facts->userId("root"), 0u);
  EXPECT_EQ(facts->userId("no-such-account-here"), std::nullopt);
  EXPECT_EQ(facts->userId(std::string_view("root\0x", 6)), std::nullopt);
}

}  // namespace
}  // namespace tidewarden::platform
