// A simulated Mac served over the real socket, with its world verbs and tidewarden-ctl beside it.
#pragma once

#include <csignal>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_program.h"
#include "support/simulator_process.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {

// How long one client call may take: generous, for a loaded 2-core machine running
// sanitizer builds. Every wait ends as soon as the child does.
inline constexpr std::chrono::seconds kClientBound{120};

class ServedMacTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(serve()) << "the simulator did not start"; }
  void TearDown() override {
    if (simulator_) simulator_->stop();
  }

  // Starts a simulator on the world (again, after a kill); whether it listens.
  bool serve() {
    simulator_.reset();
    simulator_.emplace(mac());
    return simulator_->ready();
  }
  // Ends the helper as a crash would; whether SIGKILL ended it.
  bool kill() { return simulator_->stop(SIGKILL) == 128 + SIGKILL; }

  std::string mac() const { return dir_.path() + "/mac"; }
  std::string socket() const { return mac() + "/helper.sock"; }
  // The host path of a logical path of the simulated Mac.
  std::string host(const std::string& logical) const { return mac() + "/root" + logical; }
  bool exists(const std::string& logical) const {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(host(logical), ignored));
  }
  ProgramResult world(const std::vector<std::string>& arguments) { return runWorldVerb(mac(), arguments); }
  // A world verb that must succeed.
  void change(const std::vector<std::string>& arguments) {
    const ProgramResult result = world(arguments);
    EXPECT_EQ(result.exitCode, 0) << arguments.at(0) << ": " << result.standardError;
  }
  // tidewarden-ctl --socket SOCKET ARGUMENTS...
  ProgramResult ctl(const std::vector<std::string>& arguments, const std::string& input = {}) {
    std::vector<std::string> argv{TIDEWARDEN_CTL_PATH, "--socket", socket()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runProgram(argv, input, kClientBound);
  }

  TempDir dir_;
  std::optional<ServingSimulator> simulator_;
};

}  // namespace tidewarden::testing
