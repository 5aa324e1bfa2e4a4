// Revalidation of a reviewed destination, the scope confirmed before a format, and the
// verification of a formatted partition, over the simulated diskutil.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rescue/rescue_destination_approval.h"
#include "rescue/rescue_destination_error.h"
#include "rescue/rescue_destination_revalidation.h"
#include "rescue/rescue_destination_verification.h"
#include "rescue/rescue_disk_inventory.h"
#include "rescue/rescue_drive_error.h"
#include "support/simulated_disks_fixture.h"
#include "support/test_platform.h"

namespace tidewarden::rescue {
namespace {

class RescueDestinationChecksTest : public testing::SimulatedDisksTest {
 public:
  RescueDestinationChecksTest() { plugIn("usb-64g-two-partitions"); }

  RescueDestination row(const std::string& key) {
    for (RescueDestination& row : listDestinations(query(), clock_.now())) {
      if (inventoryKey(row) == key) return row;
    }
    ADD_FAILURE() << "no row " << key;
    return {};
  }

  RescueDriveStartRequest startRequest(const RescueDestination& destination) {
    return {"/Applications/Install macOS Sequoia.app", destination, destination.scope, kRescueDestinationProtocolVersion};
  }

  static std::string refusal(const std::function<void()>& check) { return refusalOf<RescueDestinationError>(check); }

  testing::ManualClock clock_;
};

TEST_F(RescueDestinationChecksTest, AReviewIsAcceptedOnlyWhileFreshAndUnchanged) {
  struct Case {
    const char* name;
    std::function<void(RescueDestinationChecksTest&, RescueDriveStartRequest&)> change;
    std::string refusal;
  };
  const Case cases[] = {
      {"599 s old", [](auto& test, auto&) { test.clock_.wall += 599; }, ""},
      {"601 s old", [](auto& test, auto&) { test.clock_.wall += 601; }, kReviewedDestinationChangedMessage},
      {"6 s in the future", [](auto& test, auto&) { test.clock_.wall -= 6; }, kReviewedDestinationChangedMessage},
      {"ejected since", [](auto& test, auto&) { test.set("disk4s2", {"mount=none"}); }, kReviewedDestinationChangedMessage},
      {"mounted elsewhere", [](auto& test, auto&) { test.set("disk4s2", {"mount=/Volumes/OTHER"}); },
       kReviewedDestinationChangedMessage},
      {"sibling renamed", [](auto& test, auto&) { test.set("disk4s3", {"name=RENAMED"}); }, kReviewedDestinationChangedMessage},
      {"whole disk confirmed for a partition", [](auto&, auto& request) { request.confirmedScope = RescueDestinationScope::wholeDisk; },
       kReviewedDestinationChangedMessage},
      {"older protocol", [](auto&, auto& request) { request.destinationProtocol = "rescue-destination-scope-v2"; },
       kDestinationProtocolMismatchMessage},
      {"queries past the 90 s budget", [](auto& test, auto&) { test.clock_.uptimeStepPerRead = 30; },
       kInspectionTimeLimitMessage},
  };
  for (const Case& c : cases) {
    clock_.wall = 800000000;
    clock_.uptimeStepPerRead = 0;
    RescueDriveStartRequest request = startRequest(row("partition:disk4s2"));
    const sim::WorldDisks before = disks();
    c.change(*this, request);
    EXPECT_EQ(refusal([&] { revalidate(request, query(), clock_); }), c.refusal) << c.name;
    edit([&](sim::WorldDisks& disks) { disks.disks = before.disks; });
  }
}

TEST_F(RescueDestinationChecksTest, AFormatIsConfirmedOnlyForTheReviewedScope) {
  const RescueDestination partition = row("partition:disk4s2");
  const RescueDestination whole = row("wholeDisk:disk4");
  const std::string wholeRefusal = "The whole-disk confirmation does not match the physical disk.";
  const std::string partitionRefusal =
      "A selected-partition action requires a verified GUID partition, not a whole disk or container.";
  EXPECT_EQ(refusal([&] { confirmFormatScope(partition, "disk4s2"); }), "");
  EXPECT_EQ(refusal([&] { confirmFormatScope(partition, "disk4"); }), partitionRefusal);
  EXPECT_EQ(refusal([&] { confirmFormatScope(partition, "disk4s3"); }), partitionRefusal);
  EXPECT_EQ(refusal([&] { confirmFormatScope(whole, "disk4"); }), "");
  EXPECT_EQ(refusal([&] { confirmFormatScope(whole, "disk4s2"); }), wholeRefusal);
  plugIn("usb-32g-fdisk");
  EXPECT_EQ(refusal([&] { confirmFormatScope(row("partition:disk5s1"), "disk5s1"); }), partitionRefusal);
}

TEST_F(RescueDestinationChecksTest, VerificationAcceptsOnlyAConversionThatKeptTheStartAndDidNotGrow) {
  const RescueDestination reviewed = row("partition:disk4s2");
  const RescueSiblingMountSnapshot snapshot = captureSnapshot(reviewed, query());
  const std::int64_t size = reviewed.size;
  const std::int64_t offset = reviewed.layout[1].offset;
  const RescuePartitionIdentity next = reviewed.layout[2];
  // Room for the selected partition to grow into.
  const std::vector<std::string> nextMoved{"offset=" + std::to_string(next.offset + 4096),
                                           "size=" + std::to_string(next.size - 4096)};
  const std::string converted = "content=Apple_HFS";
  const auto stopped = [](const std::string& text) {
    return "The selected target disk is not safe to erase: Destination verification stopped: " + text +
           std::string(kVerificationSuffix);
  };
  const auto bytes = [](std::int64_t before, std::int64_t after) {
    return std::to_string(before) + " → " + std::to_string(after) + " bytes.";
  };
  struct Case {
    const char* name;
    std::vector<std::string> settings;
    std::vector<std::string> siblingSettings;
    bool conversionRan;
    std::string refusal;
  };
  const Case cases[] = {
      {"shrank by 3 MB", {converted, "filesystem=hfs", "size=" + std::to_string(size - 3145728)}, {}, true, ""},
      {"grew by 4 KiB", {converted, "filesystem=hfs", "size=" + std::to_string(size + 4096)}, nextMoved, true,
       stopped("Filesystem conversion expanded the selected partition: " + bytes(size, size + 4096))},
      {"moved", {converted, "filesystem=hfs", "offset=" + std::to_string(offset + 4096), "size=" + std::to_string(size - 4096)},
       {}, true, stopped("Selected partition start changed: " + bytes(offset, offset + 4096))},
      {"shrank without a conversion", {converted, "filesystem=hfs", "size=" + std::to_string(size - 4096)}, {}, false,
       stopped("Selected partition size changed outside filesystem conversion: " + bytes(size, size - 4096))},
      {"not converted", {}, {}, true, stopped("The selected partition is not a verified HFS installer volume.")},
      {"new partition UUID", {converted, "filesystem=hfs", "uuid=0E9C7C3B-0000-4000-8000-000000000001"}, {}, true,
       stopped("The selected partition’s persistent identity changed or disappeared.")},
      {"sibling renamed in Finder", {converted, "filesystem=hfs"}, {"name=RENAMED"}, true, stopped("Sibling disk4s3 changed: volume name")},
  };
  for (const Case& c : cases) {
    const sim::WorldDisks before = disks();
    if (!c.settings.empty()) set("disk4s2", c.settings);
    if (!c.siblingSettings.empty()) set("disk4s3", c.siblingSettings);
    std::int64_t sizeNow = 0;
    EXPECT_EQ(refusalOf<RescueDriveError>(
                  [&] { sizeNow = verifyFormattedPartition(reviewed, snapshot, 16000000000, c.conversionRan, query()); }),
              c.refusal)
        << c.name;
    if (c.refusal.empty()) {
      EXPECT_EQ(sizeNow, size - 3145728);
    }
    edit([&](sim::WorldDisks& disks) { disks = before; });
  }
}

}  // namespace
}  // namespace tidewarden::rescue
