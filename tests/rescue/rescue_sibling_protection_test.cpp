// Sibling mount protection against the simulated Disk Arbitration: mount requests posted to
// the world are answered by the protection's approval callback.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/linux_disk_arbitration.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_disk_inventory.h"
#include "rescue/rescue_sibling_mount_protection.h"
#include "support/platform_waits.h"
#include "support/simulated_disks_fixture.h"

namespace tidewarden::rescue {
namespace {

// Generous: the simulated Disk Arbitration looks every 50 ms, on a loaded machine too.
constexpr auto kOutcomeBound = std::chrono::seconds(60);

class RescueSiblingProtectionTest : public testing::SimulatedDisksTest {
 protected:
  // disk4: EFI, DATA4 (mounted), SPARE4 (HFS, the destination); disk5: an unrelated stick.
  RescueSiblingProtectionTest() {
    plugIn("usb-64g-two-partitions");
    plugIn("usb-32g-gpt");
    for (RescueDestination& row : listDestinations(query(), 0)) {
      if (inventoryKey(row) == "partition:disk4s3") destination_ = row;
    }
  }

  void requestMount(const std::string& identifier, const std::string& mountPoint) {
    edit([&](sim::WorldDisks& disks) { disks.mountRequests.push_back({disks.nextMountRequest++, identifier, mountPoint}); });
  }

  // The outcomes once there are `count` of them (the wait ends as soon as they are there).
  std::vector<sim::WorldMountOutcome> awaitOutcomes(std::size_t count) {
    std::vector<sim::WorldMountOutcome> outcomes;
    testing::eventually([&] { return (outcomes = disks().mountOutcomes).size() >= count; }, kOutcomeBound);
    return outcomes;
  }

  static std::string refusal(const std::function<void()>& check) { return refusalOf<RescueDestinationError>(check); }

  RescueDestination destination_;
};

TEST_F(RescueSiblingProtectionTest, UnmountedSiblingsStayUnmountedWhileOtherDisksMount) {
  const RescueSiblingMountSnapshot snapshot = captureSnapshot(destination_, query());
  ASSERT_EQ(snapshot.siblings.size(), 2u);
  EXPECT_EQ(snapshot.initiallyMounted, std::set<std::string>{"disk4s2"});
  {
    RescueSiblingMountProtection protection(snapshot, mac_.platform().diskArbitration);
    requestMount("disk4s1", "/Volumes/EFI");
    requestMount("disk5s1", "/Volumes/EFI5");
    EXPECT_EQ(awaitOutcomes(2), (std::vector<sim::WorldMountOutcome>{{1, "disk4s1", false, kSiblingDissentMessage},
                                                                     {2, "disk5s1", true, ""}}));
    EXPECT_EQ(refusal([&] { protection.finish(); }), "");
  }
  EXPECT_EQ(refusal([&] { verifyUnchanged(snapshot, query()); }), "");
  // Once protection is gone the sibling mounts, and the check afterwards sees it.
  requestMount("disk4s1", "/Volumes/EFI");
  EXPECT_TRUE(awaitOutcomes(3).back().mounted);
  EXPECT_EQ(refusal([&] { verifyUnchanged(snapshot, query()); }),
            "Sibling disk4s1 changed its mounted state during creation. It was not automatically mounted, "
            "force-unmounted or erased by a recovery step. No further write was started.");
}

TEST_F(RescueSiblingProtectionTest, ASiblingWhoseIdentityChangedIsRefusedAndReported) {
  const RescueSiblingMountSnapshot snapshot = captureSnapshot(destination_, query());
  RescueSiblingMountProtection protection(snapshot, mac_.platform().diskArbitration);
  set("disk4s1", {"uuid=0E9C7C3B-0000-4000-8000-000000000001"});
  requestMount("disk4s1", "/Volumes/EFI");
  EXPECT_EQ(awaitOutcomes(1), (std::vector<sim::WorldMountOutcome>{{1, "disk4s1", false, kSiblingDissentMessage}}));
  EXPECT_EQ(refusal([&] { protection.finish(); }), kSiblingIdentityChangedIssue);
  EXPECT_EQ(refusal([&] { verifyUnchanged(snapshot, query()); }), "Sibling disk4s1 changed: partition UUID");
}

TEST_F(RescueSiblingProtectionTest, ProtectionThatCannotBeEstablishedStopsBeforeAnyWrite) {
  RescueDestination whole = destination_;
  whole.scope = RescueDestinationScope::wholeDisk;
  EXPECT_EQ(refusal([&] { captureSnapshot(whole, query()); }), "Mount protection requires a selected partition.");
  const RescueSiblingMountSnapshot snapshot = captureSnapshot(destination_, query());
  const auto linuxArbitration = platform::makeLinuxDiskArbitration();
  EXPECT_EQ(refusal([&] { RescueSiblingMountProtection(snapshot, *linuxArbitration); }), kProtectionNotEstablishedMessage);
  set("disk4s1", {"size=104857600"});
  EXPECT_EQ(refusal([&] { RescueSiblingMountProtection(snapshot, mac_.platform().diskArbitration); }),
            "Sibling disk4s1 changed before mount protection could be established. Refresh Drives; nothing was erased.");
  // Nothing stayed registered: a mount goes ahead.
  requestMount("disk4s1", "/Volumes/EFI");
  EXPECT_TRUE(awaitOutcomes(1).back().mounted);
}

}  // namespace
}  // namespace tidewarden::rescue
