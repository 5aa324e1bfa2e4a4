// A simulated Mac with its tools installed, for engines that read disks through diskutil.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "rescue/rescue_disk_query.h"
#include "sim/simulated_mac.h"
#include "sim/simulated_tools.h"
#include "sim/world.h"
#include "support/temp_dir.h"

namespace tidewarden::testing {

// The world starts as a new Mac (its internal startup disk only); sticks are plugged in
// with the presets, and every query runs the simulated diskutil as a real child.
class SimulatedDisksTest : public ::testing::Test {
 public:
  SimulatedDisksTest() : mac_(dir_.path() + "/mac", {}) {
    sim::installSimulatedTools(mac_.platform().root, TIDEWARDEN_SIM_TOOL_PATH, {});
  }

  std::string plugIn(std::string_view preset) {
    std::string identifier;
    edit([&](sim::WorldDisks& disks) { identifier = sim::addWorldDiskPreset(disks, preset); });
    return identifier;
  }
  void edit(const std::function<void(sim::WorldDisks&)>& change) {
    sim::World::update(mac_.directory(), [&](sim::WorldRecord& world) { change(world.disks); });
  }
  // Settings as `disk set` takes them, now or just before the Nth diskutil query from now.
  void set(const std::string& target, const std::vector<std::string>& settings, std::int64_t afterQueries = 0) {
    edit([&](sim::WorldDisks& disks) {
      if (afterQueries > 0) {
        disks.pendingChanges.push_back({target, settings, afterQueries});
      } else {
        sim::applyWorldDiskSettings(disks, target, settings);
      }
    });
  }
  void fault(sim::WorldToolFaultKind kind, std::optional<std::int64_t> status = std::nullopt) {
    sim::World::update(mac_.directory(), [&](sim::WorldRecord& world) {
      world.tools.faults = {{sim::WorldTool::diskutil, kind, status, std::nullopt}};
    });
    if (kind == sim::WorldToolFaultKind::missing) sim::removeSimulatedTool(mac_.platform().root, sim::WorldTool::diskutil);
  }
  sim::WorldDisks disks() { return sim::World::read(mac_.directory()).disks; }
  // The text of the Error that `check` throws, or "" when it passed.
  template <class Error>
  static std::string refusalOf(const std::function<void()>& check) {
    try {
      check();
    } catch (const Error& error) {
      return error.what();
    }
    return "";
  }
  rescue::DiskQuery query() { return rescue::platformDiskQuery(mac_.platform()); }

  TempDir dir_;
  sim::SimulatedMac mac_;
};

}  // namespace tidewarden::testing
