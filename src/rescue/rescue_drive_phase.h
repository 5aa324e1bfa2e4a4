// The phases a Rescue Drive operation reports, in pipeline order.
#pragma once

#include <array>
#include <string_view>
#include <utility>

namespace tidewarden::rescue {

enum class RescueDrivePhase {
  preparing,
  erasing,
  creatingInstaller,
  verifying,
  ejecting,
  finished,
  failed,
  cancelled,
};

inline constexpr std::array<std::pair<RescueDrivePhase, std::string_view>, 8>
    kRescueDrivePhaseRawValues{{
        {RescueDrivePhase::preparing, "preparing"},
        {RescueDrivePhase::erasing, "erasing"},
        {RescueDrivePhase::creatingInstaller, "creatingInstaller"},
        {RescueDrivePhase::verifying, "verifying"},
        {RescueDrivePhase::ejecting, "ejecting"},
        {RescueDrivePhase::finished, "finished"},
        {RescueDrivePhase::failed, "failed"},
        {RescueDrivePhase::cancelled, "cancelled"},
    }};

constexpr const auto& jsonEnumValues(RescueDrivePhase) { return kRescueDrivePhaseRawValues; }

}  // namespace tidewarden::rescue
