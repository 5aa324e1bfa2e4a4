// The disk inventory over the simulated diskutil: row reasons, per-disk refusals, whole-tree
// refusals, the query allowlist and its time limit.
#include <signal.h>

#include <chrono>
#include <future>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"
#include "support/held_child.h"
#include "support/simulated_disks_fixture.h"
#include "support/test_platform.h"

namespace tidewarden::rescue {
namespace {

using Reasons = std::map<std::string, std::optional<std::string>>;

const std::string kReserved = "Reserved EFI, recovery or system-support partition; not a user installer destination.";
const std::string kApfs =
    "APFS container: its volumes share storage. Converting this partition would erase every volume in the container. "
    "Partition-preserving conversion is not enabled.";
const std::string kNotGuid =
    "Partition-preserving installer creation currently requires a GUID partition map. This layout is recognized, but "
    "will not be silently repartitioned.";

std::string refusedDisk(const std::string& reason) { return reason + kDiskRefusalSuffix; }

class RescueInventoryTest : public testing::SimulatedDisksTest {
 protected:
  Reasons reasons() {
    Reasons reasons;
    for (const RescueDestination& row : listDestinations(query(), 0)) reasons[inventoryKey(row)] = row.unavailableReason;
    return reasons;
  }
  std::string treeRefusal() { return refusalOf<RescueDestinationError>([&] { listDestinations(query(), 0); }); }
};

TEST_F(RescueInventoryTest, EachStickIsOfferedOrRefusedWithItsReason) {
  struct Case {
    const char* name;
    std::vector<const char*> presets;
    std::function<void(RescueInventoryTest&)> change;
    Reasons expected;
  };
  const Case cases[] = {
      {"gpt stick", {"usb-32g-gpt"}, {},
       {{"wholeDisk:disk4", {}}, {"partition:disk4s1", kReserved}, {"partition:disk4s2", {}}}},
      {"15.9 GB", {"usb-15g9"}, {}, {{"wholeDisk:disk4", refusedDisk("Physical disk is smaller than 16 GB.")}}},
      {"fdisk", {"usb-32g-fdisk"}, {}, {{"wholeDisk:disk4", {}}, {"partition:disk4s1", kNotGuid}}},
      {"running system", {"external-startup"}, {}, {{"wholeDisk:disk4", refusedDisk(kStartupDeviceReason)}}},
      {"read-only", {"usb-readonly"}, {},
       {{"wholeDisk:disk4", refusedDisk("Physical media is read-only or its write status could not be verified.")}}},
      {"two partitions", {"usb-64g-two-partitions"}, {},
       {{"wholeDisk:disk4", {}}, {"partition:disk4s1", kReserved}, {"partition:disk4s2", {}}, {"partition:disk4s3", {}}}},
      {"apfs", {"usb-apfs"}, {},
       {{"wholeDisk:disk4", {}}, {"partition:disk4s1", kReserved}, {"partition:disk4s2", kApfs},
        {"sharedAPFSVolume:disk5s1", kSharedApfsReason}, {"sharedAPFSVolume:disk5s2", kSharedApfsReason}}},
      {"multi-store container", {"usb-apfs", "usb-apfs"},
       [](RescueInventoryTest& test) {
         test.edit([](sim::WorldDisks& disks) {
           disks.findContainer("disk5")->physicalStores.push_back("disk6s2");
           std::erase_if(disks.containers, [](const auto& container) { return container.reference == "disk7"; });
         });
       },
       {{"wholeDisk:disk4", refusedDisk("This device participates in a multi-store APFS container. Erasing one member "
                                        "could affect other devices; not supported.")},
        {"wholeDisk:disk6", refusedDisk("This device participates in a multi-store APFS container. Erasing one member "
                                        "could affect other devices; not supported.")}}},
      {"overlap", {"usb-32g-gpt"}, [](RescueInventoryTest& test) { test.set("disk4s2", {"offset=409600"}); },
       {{"wholeDisk:disk4", refusedDisk("Overlapping partition extents require review; no erase was approved.")}}},
      // The list is answered first; the change lands before the partition's own info query.
      {"content changes between list and info", {"usb-32g-gpt"},
       [](RescueInventoryTest& test) { test.set("disk4s2", {"content=Apple_HFS"}, /*afterQueries=*/2); },
       {{"wholeDisk:disk4", refusedDisk("Partition type changed during inspection for disk4s2")}}},
      {"no partition UUID on a GUID map", {"usb-32g-gpt"}, [](RescueInventoryTest& test) { test.set("disk4s2", {"uuid="}); },
       {{"wholeDisk:disk4", refusedDisk("GUID partition identity is missing for disk4s2")}}},
      {"encrypted", {"usb-32g-gpt"}, [](RescueInventoryTest& test) { test.set("disk4s2", {"encrypted=true"}); },
       {{"wholeDisk:disk4", {}}, {"partition:disk4s1", kReserved},
        {"partition:disk4s2", "Encrypted or locked volume; scoped conversion is not supported in this version."}}},
  };
  for (const Case& c : cases) {
    edit([](sim::WorldDisks& disks) { disks = sim::freshWorldDisks(); });
    for (const char* preset : c.presets) plugIn(preset);
    if (c.change) c.change(*this);
    EXPECT_EQ(reasons(), c.expected) << c.name;
  }
}

TEST_F(RescueInventoryTest, RowsCarryTheIdentitiesTheyWereJudgedBy) {
  plugIn("usb-64g-two-partitions");
  const std::vector<RescueDestination> rows = listDestinations(query(), 1234.5);
  const sim::WorldDisks world = disks();
  const sim::WorldDisk& disk = world.disks.back();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].parent, (RescuePhysicalIdentity{"disk4", 64000000000, disk.mediaName, disk.registryPath, "USB"}));
  const RescueDestination& data = rows[2];
  EXPECT_EQ(data.diskIdentifier, "disk4s2");
  EXPECT_EQ(data.filesystem, "exfat");
  EXPECT_EQ(data.mountPoint, "/Volumes/DATA4");
  EXPECT_EQ(data.checkedAt.secondsSinceReferenceDate, 1234.5);
  ASSERT_EQ(data.layout.size(), 3u);
  const sim::WorldPartition& part = disk.partitions[1];
  EXPECT_EQ(data.layout[1], (RescuePartitionIdentity{"disk4s2", part.partitionUUID, part.offset, part.size,
                                                     "Microsoft Basic Data", part.volumeUUID, "DATA4"}));
  EXPECT_FALSE(rows[3].mountPoint);
}

TEST_F(RescueInventoryTest, AWholeTreeThatCannotBeVerifiedApprovesNothing) {
  plugIn("usb-32g-gpt");
  const std::string list = "diskutil list -plist external physical failed or returned incomplete metadata ";
  struct Case {
    const char* name;
    std::function<void(RescueInventoryTest&)> change;
    std::string refusal;
  };
  const Case cases[] = {
      {"malformed", [](auto& test) { test.fault(sim::WorldToolFaultKind::malformed); }, list + "(exit 0, timeout false)"},
      {"exit 3", [](auto& test) { test.fault(sim::WorldToolFaultKind::exit, 3); }, list + "(exit 3, timeout false)"},
      {"flood", [](auto& test) { test.fault(sim::WorldToolFaultKind::flood); }, list + "(exit 0, timeout false)"},
      {"missing", [](auto& test) { test.fault(sim::WorldToolFaultKind::missing); }, list + "(exit -1, timeout false)"},
      {"nothing at /",
       [](auto& test) { test.edit([](sim::WorldDisks& disks) { disks.containers[0].volumes[0].mountPoint.reset(); }); },
       kStartupUnverifiedMessage},
      {"startup container without stores",
       [](auto& test) { test.edit([](sim::WorldDisks& disks) { disks.containers[0].physicalStores.clear(); }); },
       kStartupApfsUnverifiedMessage},
  };
  for (const Case& c : cases) {
    c.change(*this);
    EXPECT_EQ(treeRefusal(), c.refusal) << c.name;
    sim::World::update(mac_.directory(), [](sim::WorldRecord& world) { world.tools.faults.clear(); });
    sim::installSimulatedTools(mac_.platform().root, TIDEWARDEN_SIM_TOOL_PATH, {});
    edit([](sim::WorldDisks& disks) {
      disks = sim::freshWorldDisks();
      sim::addWorldDiskPreset(disks, "usb-32g-gpt");
    });
  }
  EXPECT_EQ(treeRefusal(), "");
}

TEST_F(RescueInventoryTest, AQueryOutsideTheAllowlistStartsNoProcess) {
  const std::vector<std::vector<std::string>> refused{
      {"eraseDisk", "JHFS+", "X", "GPT", "/dev/disk4"}, {"mount", "/dev/disk4s2"}, {"info", "/"},
      {"info", "-plist", "/etc/passwd"}, {"info", "-plist", "/", "/dev/disk4"}, {"list", "-plist"}, {}};
  for (const std::vector<std::string>& arguments : refused) {
    EXPECT_EQ(refusalOf<RescueDestinationError>([&] { query()(arguments); }), kUnsupportedDiskQueryMessage)
        << arguments.size();
  }
  EXPECT_TRUE(disks().queries.empty());
  // Allowed, and run, though nothing is mounted there.
  EXPECT_THROW(query()({"info", "-plist", "/Volumes/Macintosh HD"}), RescueDestinationError);
  EXPECT_EQ(disks().queries, std::vector<std::string>{"info -plist /Volumes/Macintosh HD"});
}

// A query that does not end is stopped at 15 s of the engine clock; one that even a kill
// does not end (stuck in the kernel) fails all the same and is reaped in the background.
TEST_F(RescueInventoryTest, AHangingDiskutilIsStoppedAtFifteenSecondsOfTheEngineClock) {
  testing::HeldChildLauncher held;
  testing::ManualClock clock;
  clock.uptimeStepPerRead = 1;
  const double start = clock.up;
  auto stuck = std::async(std::launch::async, [&] {
    return refusalOf<RescueDestinationError>([&] { readOnlyDiskQuery(held, clock, {"apfs", "list", "-plist"}); });
  });
  const bool returned = stuck.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  held.held = false;
  ::kill(held.pid, SIGKILL);
  EXPECT_TRUE(returned) << "the query still waits for a child that SIGKILL did not end";
  EXPECT_EQ(stuck.get(), "diskutil apfs list -plist failed or returned incomplete metadata (exit -1, timeout true)");
  EXPECT_GE(clock.up - start, kDiskQueryTimeLimitSeconds);
  EXPECT_LT(clock.up - start, kDiskQueryTimeLimitSeconds + 3);
}

}  // namespace
}  // namespace tidewarden::rescue
