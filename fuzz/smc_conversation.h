// The fixed sequence of controller work the smc_replies target runs, shared with the seed
// writer so that a recorded conversation replays the same path.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fan/fan_control_error.h"
#include "fan/fan_smc_transport.h"
#include "fan/fan_write_verification.h"
#include "platform/clock.h"
#include "platform/smc_client.h"

namespace tidewarden::fuzz {

// What the conversation got back.
struct SmcConversation {
  bool opened = false;
  bool inventoryRead = false;
  std::vector<fan::FanControlFan> fans;
  std::optional<double> cpu;
  std::vector<std::string> metadata;
  // Writes sent by each of the three fan writes (acquire, target, release).
  int writesBy[3] = {0, 0, 0};
  std::vector<std::string> events;
};

// Opens a transport on `client` and runs: the inventory, a sensor reading, the key
// metadata, then fan 0 acquired, given a target of 3000 RPM and released. Every
// refusal is caught; `sentWrites` counts the writes `client` has received so far.
template <class CountWrites>
SmcConversation converse(platform::SmcClient& client, platform::Clock& clock, CountWrites sentWrites) {
  SmcConversation result;
  std::optional<fan::FanSMCTransport> smc;
  try {
    smc.emplace(client);
  } catch (const fan::FanControlError&) {
    return result;
  }
  result.opened = true;
  try {
    result.fans = smc->readFanInventory();
    result.inventoryRead = true;
  } catch (const fan::FanControlError&) {
  }
  result.cpu = smc->readTemperature({"TC0P", "Tp09"});
  result.metadata = smc->captureInterfaceMetadata();
  fan::FanWriteVerifier verifier(*smc, clock);
  const std::function<void()> steps[3] = {
      [&] { verifier.writeFanMode(/*acquire=*/true, 0, /*touched=*/false); },
      [&] { verifier.writeFanTarget(3000, 0); },
      [&] { verifier.writeFanMode(/*acquire=*/false, 0, /*touched=*/true); },
  };
  for (int step = 0; step < 3; ++step) {
    const int before = sentWrites();
    try {
      steps[step]();
    } catch (const fan::FanControlError&) {
    }
    result.writesBy[step] = sentWrites() - before;
  }
  result.events.assign(smc->writeEvents().begin(), smc->writeEvents().end());
  return result;
}

}  // namespace tidewarden::fuzz
