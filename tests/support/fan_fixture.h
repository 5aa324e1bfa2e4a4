// An Intel Mac with two automatic fans for the fan coordinator's tests, and a controller that refuses on request;
// the fan modes of a simulated Mac's world for tests over the socket.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fan/fan_control_coordinator.h"
#include "fan/fan_recovery_store.h"
#include "fan/fan_smc_transport.h"
#include "platform/dispatch_queue.h"
#include "support/test_platform.h"

namespace tidewarden::testing {

inline constexpr const char* kManualVerified =
    "Manual Boost target readback verified. Actual RPM may take time to settle; this is not a cooling-performance "
    "certification.";
inline constexpr const char* kOverrideStopped =
    "Override stopped. Automatic-mode readback verified for the fans touched by Tidewarden.";

// The mode register of each fan of a shown world, in order.
inline std::vector<int> fanModes(const nlohmann::json& world) {
  std::vector<int> modes;
  for (const auto& fan : world["smc"]["fans"]) modes.push_back(fan["mode"].get<int>());
  return modes;
}
// Whether the world has fans and every one of them reads `mode` (0 automatic, 1 manual).
inline bool allFans(const nlohmann::json& world, int mode) {
  const std::vector<int> modes = fanModes(world);
  return !modes.empty() && std::ranges::all_of(modes, [mode](int m) { return m == mode; });
}

class FanCoordinatorFixture : public ::testing::Test {
 protected:
  using Action = fan::FanControlRequest::Action;

  // Fans 0 and 1 (fpe2, automatic at 1800 and 2000 RPM), the CPU at 50 °C, and
  // `refuseWritesOf` and `beforeEveryCall` wired into the controller.
  FanCoordinatorFixture() {
    tp.facts.brand = "Intel(R) Core(TM) i9-9880H CPU @ 2.30GHz";
    tp.facts.model = "MacBookPro16,1";
    tp.smc.addFan(0, "fpe2", 1800, 1200, 5700, 1800, 0);
    tp.smc.addFan(1, "fpe2", 2000, 1200, 6000, 2000, 0);
    setCpu(50);
    std::filesystem::create_directories(tp.rootPath() + "/Library/Application Support");
    tp.smc.beforeAnswer = [this](const platform::SmcParameterRecord& input) -> std::optional<platform::SmcCallResult> {
      if (beforeEveryCall) beforeEveryCall();
      if (refusalsLeft == 0 || input[fan::smc_record::kCommandOffset] != fan::smc_record::kWriteValue ||
          tp.smc.keyOf(tp.smc.received.size() - 1) != refusedKey) {
        return std::nullopt;
      }
      if (refusalsLeft > 0) --refusalsLeft;
      platform::SmcCallResult refused{0, platform::kSmcParameterRecordSize, {}};
      refused.output[fan::smc_record::kResultOffset] = 0x86;
      return refused;
    };
  }

  std::string recordDir() const { return tp.rootPath() + "/Library/Application Support/Tidewarden/FanControl"; }
  std::string recordPath() const { return recordDir() + "/lease.json"; }
  void setCpu(double celsius) { tp.smc.keys["TC0P"] = FakeSmc::sp78(celsius); }
  double reg(const std::string& key) {
    return fan::FanSMCTransport::decodeValue(tp.smc.keys[key].type, tp.smc.keys[key].bytes).value_or(-1);
  }
  bool fansAutomatic() { return reg("F0Md") == 0 && reg("F1Md") == 0; }
  // Refuses the next `times` writes of `key` with SMC result 0x86 (every one when negative).
  void refuseWritesOf(const std::string& key, int times = -1) {
    refusedKey = key;
    refusalsLeft = times;
  }

  // Manual Boost of 3000 and 3500 RPM, acknowledged, Auto Max at 70 °C on the CPU.
  static fan::FanControlRequest makeRequest(Action action, fan::FanControlMode mode = fan::FanControlMode::manual,
                                        std::optional<std::string> session = std::nullopt) {
    return {action, mode, std::move(session), {{0, 3000}, {1, 3500}}, fan::FanThermalSource::cpu, 70, true};
  }
  // A coordinator on this Mac (or on `platform`) whose control timer only counts its starts: tests tick it.
  std::unique_ptr<fan::FanControlCoordinator> newCoordinator() { return newCoordinator(tp.platform()); }
  std::unique_ptr<fan::FanControlCoordinator> newCoordinator(platform::Platform& platform) {
    return std::make_unique<fan::FanControlCoordinator>(platform, queue, [this](std::function<void()>) {
      ++timersStarted;
      return std::make_unique<fan::ControlTimer>();
    });
  }

  TestPlatform tp;
  platform::SerialQueue queue{"test.fan"};
  fan::FanRecoveryStore store{tp.platform().root};
  int timersStarted = 0;
  std::string refusedKey;
  int refusalsLeft = 0;
  std::function<void()> beforeEveryCall;
};

}  // namespace tidewarden::testing
