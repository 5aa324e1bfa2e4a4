// Thermal pressure and sleep notices on Linux: not read yet; nominal pressure and no notices.
#include "platform/system_power.h"

namespace tidewarden::platform {
namespace {

class UnavailableSystemPower final : public SystemPower {
 public:
  ThermalState thermalState() override { return ThermalState::nominal; }
  bool registerForSystemPower(Handler) override { return false; }
  void allowPowerChange(std::intptr_t) override {}
};

}  // namespace

std::unique_ptr<SystemPower> makeUnavailableSystemPower() { return std::make_unique<UnavailableSystemPower>(); }

}  // namespace tidewarden::platform
