// The simulated Mac's System Management Controller: answers 80-byte parameter records from the world on disk.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/smc_client.h"
#include "sim/world.h"

namespace tidewarden::sim {

// The SMC result codes the emulated controller answers with.
using platform::kSmcResultBadArgument;
using platform::kSmcResultBadCommand;
using platform::kSmcResultKeyNotFound;
using platform::kSmcResultNotWritable;
// The driver's kernel return when the world cannot be read (kIOReturnNotResponding).
inline constexpr std::int32_t kSmcNotResponding = static_cast<std::int32_t>(0xE00002EDu);

// A fan's speed follows its effective target with this time constant (seconds).
inline constexpr double kFanSpinTimeConstant = 1.2;

// The target automatic mode chooses: from the fan's minimum at 50 °C and below to its
// maximum at 90 °C and above, by the CPU temperature (50 °C when it cannot be read).
double automaticTargetRPM(const WorldFan& fan, const WorldThermal& thermal);
// What the fan is heading for: its target register in manual mode, otherwise the
// automatic target (also for a mode byte that is neither 0 nor 1).
double effectiveTargetRPM(const WorldFan& fan, const WorldThermal& thermal);
// The fan's speed at clock time `now`: from `actualRPM` at `actualAt` toward the
// effective target. A `now` before `actualAt` (a clock set back) gives `actualRPM`.
double actualRPMAt(const WorldFan& fan, const WorldThermal& thermal, double now);
// Fixes every fan's speed as of `now`. Done before anything that changes where a fan
// is heading (its mode, its target, the temperatures), so the curve stays continuous.
void settleFans(WorldRecord& world, double now);

// Changes a fan's registers as another controller would, at once (`afterCalls` is not
// looked at): a mode byte as given, entering manual mode from the target the fan had;
// then the target register. A fan the world does not have is ignored.
void applyFanTakeover(WorldRecord& world, const WorldFanTakeover& takeover, double now);

// Answers one call against `world` at clock time `now`: first the pending takeovers
// that fall due, then the first matching fault, then the key itself. Sets `changed`
// when the world must be stored (a write, a takeover or a counted fault).
platform::SmcCallResult answerSmcCall(WorldRecord& world, const platform::SmcParameterRecord& input, double now,
                                      bool& changed);

// The controller of the simulated Mac in `worldDirectory`. Its registers live in the
// world, not in this object: every call reads the world, and a call that changes it
// stores it under the world lock. So `tidewarden-sim world` verbs act between two calls,
// and a helper that dies mid-session leaves the fans exactly as they were.
class SimulatedSmc final : public platform::SmcClient {
 public:
  SimulatedSmc(std::string worldDirectory, platform::Clock& clock);
  OpenResult open() override;

 private:
  std::string worldDirectory_;
  platform::Clock& clock_;
};

}  // namespace tidewarden::sim
