// The disk world verbs of tidewarden-sim (mounting through Disk Arbitration is the Rescue Drive tests').
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/simulated_disks_fixture.h"
#include "support/simulator_process.h"

namespace tidewarden::testing {
namespace {

using DiskVerbsTest = SimulatedDisksTest;

TEST_F(DiskVerbsTest, VerbsChangeTheDisksAndRefuseWhatDoesNotFit) {
  const std::string& world = mac_.directory();
  const ProgramResult added = runWorldVerb(world, {"disk", "add", "--preset", "usb-64g-two-partitions"});
  ASSERT_EQ(added.exitCode, 0) << added.standardError;
  EXPECT_EQ(added.standardOutput, "disk4\n");
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"disk", "add", "--preset", "usb-2t"}, "unknown disk preset usb-2t"},
      {{"disk", "set", "disk4s3", "name=X", "--after-queries", "0"}, "--after-queries needs"},
      {{"disk", "mount", "disk4s2", "--at", "/Volumes/DATA4"}, "Something is already mounted at /Volumes/DATA4"},
  };
  for (const auto& [arguments, message] : refused) {
    const ProgramResult result = runWorldVerb(world, arguments);
    EXPECT_NE(result.exitCode, 0) << message;
    EXPECT_NE(result.standardError.find(message), std::string::npos) << result.standardError;
  }
  EXPECT_EQ(disks().disks.back().partitions[2].volumeName, "SPARE4");

  ASSERT_EQ(runWorldVerb(world, {"disk", "set", "disk4s3", "name=LATER", "--after-queries", "2"}).exitCode, 0);
  query()({"apfs", "list", "-plist"});
  EXPECT_EQ(disks().disks.back().partitions[2].volumeName, "SPARE4");
  query()({"apfs", "list", "-plist"});
  EXPECT_EQ(disks().disks.back().partitions[2].volumeName, "LATER");

}

}  // namespace
}  // namespace tidewarden::testing
