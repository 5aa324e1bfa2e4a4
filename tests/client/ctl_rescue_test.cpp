// tidewarden-ctl rescue destinations: the rows of a simulated Mac, built by the client itself.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/json_codec.h"
#include "rescue/rescue_disk_inventory.h"
#include "support/child_program.h"
#include "support/simulated_disks_fixture.h"

namespace tidewarden::testing {
namespace {

using CtlRescueTest = SimulatedDisksTest;

TEST_F(CtlRescueTest, DestinationsAreTheInventoryRowsOfTheSimulatedMac) {
  plugIn("usb-15g9");
  plugIn("usb-32g-gpt");
  const std::vector<std::string> command{TIDEWARDEN_CTL_PATH, "rescue", "destinations", "--mac", mac_.directory()};
  const ProgramResult table = runProgram(command);
  ASSERT_EQ(table.exitCode, 0) << table.standardError;
  EXPECT_NE(table.standardOutput.find("no: Physical disk is smaller than 16 GB. No erase destination on this device was "
                                      "approved.\n"),
            std::string::npos)
      << table.standardOutput;
  EXPECT_NE(table.standardOutput.find("disk5s2    partition           31790243840 exfat                    "
                                      "/Volumes/STICK5        offered\n"),
            std::string::npos)
      << table.standardOutput;

  std::vector<std::string> withJson = command;
  withJson.push_back("--json");
  const ProgramResult json = runProgram(withJson);
  ASSERT_EQ(json.exitCode, 0) << json.standardError;
  auto rows = platform::json::decodeValue<std::vector<rescue::RescueDestination>>(nlohmann::json::parse(json.standardOutput));
  std::vector<rescue::RescueDestination> expected = rescue::listDestinations(query(), 0);
  for (rescue::RescueDestination& row : rows) row.checkedAt = {};
  EXPECT_EQ(rows, expected);

  fault(sim::WorldToolFaultKind::exit, 2);
  const ProgramResult failed = runProgram(command);
  EXPECT_EQ(failed.exitCode, 1);
  EXPECT_EQ(failed.standardError,
            "tidewarden-ctl: diskutil list -plist external physical failed or returned incomplete metadata (exit 2, "
            "timeout false)\n");
}

}  // namespace
}  // namespace tidewarden::testing
